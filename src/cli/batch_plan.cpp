#include "cli/batch_plan.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "cli/input_file.h"
#include "cli/mac_pool.h"
#include "cli/shown_text.h"
#include "device/address.h"
#include "link/window_setting.h"
#include "platform/regular_file.h"

namespace kestrel::cli {
namespace {

const std::vector<std::string> kColumns = {"device",  "image",     "mac",          "new_ip",
                                           "ts_port", "multicast", "multicast_ip", "reset",
                                           "label",   "window"};

// "device, image, ..., window", for the message that names an unknown column.
std::string column_list() {
    std::string out;
    for (const auto& c : kColumns)
        out += (out.empty() ? "" : ", ") + c;
    return out;
}

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool label_ok(const std::string& label) {
    return !label.empty() && label.size() <= 64 && label[0] != '.' &&
           std::all_of(label.begin(), label.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.';
           });
}

using Columns = std::map<std::string, std::size_t>;

// Adds "PLAN line N: FIELD: what" to the plan's errors.
struct PlanError {
    const std::string& path;
    std::vector<std::string>& errors;
    void operator()(int line, const std::string& field, const std::string& what) const {
        errors.push_back(path + " line " + std::to_string(line) + ": " + field + ": " + what);
    }
};

Columns read_header(const std::vector<std::string>& cells, int line, const PlanError& error) {
    Columns column;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (std::find(kColumns.begin(), kColumns.end(), cells[i]) == kColumns.end()) {
            error(line, "header",
                  "unknown column " + quoted_text(cells[i]) + " (columns: " + column_list() + ")");
        } else if (!column.emplace(cells[i], i).second) {
            error(line, "header", "column " + quoted_text(cells[i]) + " appears twice");
        }
    }
    if (!column.count("device")) error(line, "header", "no \"device\" column");
    return column;
}

void check_mac_cell(const std::string& mac, bool auto_mac_allowed, int line,
                    const PlanError& error) {
    if (mac == "auto") {
        if (!auto_mac_allowed)
            error(line, "mac",
                  "auto needs --mac-range (for example --mac-range "
                  "00:1a:2b:00:00:00-00:1a:2b:00:0f:ff)");
    } else if (!mac.empty()) {
        const auto parsed = parse_mac(mac);
        if (!parsed) {
            error(line, "mac",
                  quoted_text(mac) + " is not an address (for example 00:1a:2b:3c:4d:5e or auto)");
        } else if (const auto why = mac_refusal(*parsed); !why.empty()) {
            error(line, "mac",
                  mac + " is " + std::string(why) +
                      "; a device needs a unicast address (for example 02:00:00:00:00:01)");
        }
    }
}

void check_image_cell(const UnitPlan& u, const PlanError& error) {
    if (u.image.empty()) return;
    struct stat st {};
    if (::stat(u.image.c_str(), &st) != 0) {
        error(u.line, "image", "can't open " + quoted_text(u.image) + ": " + std::strerror(errno));
    } else if (!S_ISREG(st.st_mode)) {
        error(u.line, "image",
              quoted_text(u.image) + " is " + file_kind(st.st_mode) + ", not a regular file");
    } else if (st.st_size == 0) {
        error(u.line, "image", quoted_text(u.image) + " is empty");
    }
}

// The unit's window of requests in flight, written plainly for its kestrelctl.
void check_window_cell(UnitPlan& u, const PlanError& error) {
    if (u.window.empty()) return;
    const auto setting = parse_window_setting(u.window);
    if (!setting) {
        error(u.line, "window",
              quoted_text(u.window) + " is not a whole number of requests from 1 to " +
                  std::to_string(kMaxWindow) + " or auto (for example 8 or auto)");
        return;
    }
    u.window = setting->adaptive ? "auto" : std::to_string(setting->size);
}

// What the device is to be given besides its MAC; each bad cell is named.
void check_settings(const UnitPlan& u, const PlanError& error) {
    if (!u.new_ip.empty()) {
        const auto ep = parse_endpoint(u.new_ip);
        if (!ep || !device::can_be_device_address(ep->address)) {
            error(u.line, "new_ip",
                  quoted_text(u.new_ip) +
                      " is not a device address and port (for example 192.168.1.60:5000)");
        }
    }
    if (!u.ts_port.empty()) {
        const auto v = parse_decimal(u.ts_port, 5, 65535);
        if (!v || !device::Port::from(*v))
            error(u.line, "ts_port",
                  quoted_text(u.ts_port) + " is not a port 1 to 65535 (for example 1234)");
    }
    if (!u.multicast.empty() && u.multicast != "on" && u.multicast != "off") {
        error(u.line, "multicast", quoted_text(u.multicast) + " is not on or off");
    }
    if (!u.multicast_ip.empty() &&
        !device::check_multicast_ip(u.multicast_ip, "multicast_ip").ok()) {
        error(u.line, "multicast_ip",
              quoted_text(u.multicast_ip) + " is not a multicast address (for example 239.1.1.1)");
    }
}

UnitPlan check_row(const std::vector<std::string>& cells, const Columns& column, int line,
                   bool auto_mac_allowed, const PlanError& error) {
    const auto cell = [&](const char* name) {
        const auto it = column.find(name);
        return it != column.end() && it->second < cells.size() ? cells[it->second] : std::string();
    };
    UnitPlan u;
    u.line = line;
    if (const Result<Endpoint> ep = resolve_endpoint(cell("device"))) {
        u.device = *ep;
    } else {
        error(line, "device", ep.reason());
    }
    u.image = cell("image");
    check_image_cell(u, error);
    u.mac = cell("mac");
    check_mac_cell(u.mac, auto_mac_allowed, line, error);
    u.new_ip = cell("new_ip");
    u.ts_port = cell("ts_port");
    u.multicast = cell("multicast");
    u.multicast_ip = cell("multicast_ip");
    check_settings(u, error);
    const std::string reset = cell("reset");
    if (reset == "yes")
        u.reset = true;
    else if (!reset.empty() && reset != "no")
        error(line, "reset", quoted_text(reset) + " is not yes or no");
    u.window = cell("window");
    check_window_cell(u, error);
    u.label = cell("label");
    if (u.label.empty()) {
        u.label = u.device ? u.device->address_text() + "_" + std::to_string(u.device->port.value())
                           : "0.0.0.0_0";
    } else if (!label_ok(u.label)) {
        error(line, "label",
              quoted_text(u.label) +
                  " may hold only letters, digits, '-', '_' and '.' (for example unit-07)");
    }
    return u;
}

// Two rows for one device, one label or one fixed MAC would undo each other.
void check_repeats(const std::vector<UnitPlan>& units, const PlanError& error) {
    std::map<std::string, int> seen_device, seen_label, seen_mac;
    for (const auto& u : units) {
        const auto dup = [&](std::map<std::string, int>& seen, const std::string& key,
                             const char* field) {
            const auto [it, fresh] = seen.emplace(key, u.line);
            if (!fresh)
                error(u.line, field,
                      quoted_text(key) + " is also on line " + std::to_string(it->second));
        };
        if (u.device) dup(seen_device, u.device->text(), "device");
        dup(seen_label, u.label, "label");
        if (!u.mac.empty() && u.mac != "auto") {
            if (const auto m = parse_mac(u.mac)) dup(seen_mac, mac_text(*m), "mac");
        }
    }
}

}  // namespace

bool split_csv_line(const std::string& line, std::vector<std::string>& cells) {
    cells.clear();
    std::string cell;
    bool quoted = false, was_quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                cell += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                cell += c;
            }
        } else if (c == '"' && trim(cell).empty()) {
            quoted = was_quoted = true;
            cell.clear();
        } else if (c == ',') {
            cells.push_back(was_quoted ? cell : trim(cell));
            cell.clear();
            was_quoted = false;
        } else if (!(was_quoted && (c == ' ' || c == '\t' || c == '\r'))) {
            cell += c;
        }
    }
    if (quoted) return false;
    cells.push_back(was_quoted ? cell : trim(cell));
    return true;
}

PlanParse parse_plan(const std::string& path, bool auto_mac_allowed) {
    const FileText file = read_regular_file(path, kSmallFileMax, "the plan");
    if (!file.ok()) {
        PlanParse plan;
        plan.errors.push_back(file.reason);
        return plan;
    }
    return parse_plan_text(file.bytes, path, auto_mac_allowed);
}

PlanParse parse_plan_text(const std::string& body, const std::string& path, bool auto_mac_allowed) {
    PlanParse plan;
    const PlanError error{path, plan.errors};
    std::istringstream in(body);
    std::string text;
    std::vector<std::string> cells;
    Columns column;
    int line = 0;
    while (std::getline(in, text)) {
        ++line;
        if (trim(text).empty() || trim(text)[0] == '#') continue;
        if (!split_csv_line(text, cells)) {
            error(line, "row", "a quote is not closed");
        } else if (column.empty()) {
            column = read_header(cells, line, error);
            if (!plan.errors.empty()) return plan;
        } else if (cells.size() > column.size()) {
            error(line, "row",
                  std::to_string(cells.size()) + " cells, the header has " +
                      std::to_string(column.size()));
        } else {
            plan.units.push_back(check_row(cells, column, line, auto_mac_allowed, error));
        }
    }
    if (column.empty() && plan.errors.empty()) plan.errors.push_back(path + ": no header row");
    check_repeats(plan.units, error);
    if (plan.units.empty() && plan.errors.empty()) plan.errors.push_back(path + ": no units");
    return plan;
}

}  // namespace kestrel::cli
