#include "cli/settings_step.h"

#include <algorithm>

#include "cli/command_table.h"
#include "cli/endpoint.h"
#include "cli/exit_codes.h"
#include "cli/shown_text.h"
#include "device/address.h"
#include "device/config_commands.h"
#include "device/unicast_mac.h"
#include "platform/format.h"

namespace kestrel::cli {
namespace {

int command_failure(Session& session, const char* what, const device::CommandOutcome& r) {
    const std::string why = r.failure.empty() ? std::string("not acknowledged") : r.failure;
    return session.fail(r.device_silent ? kExitNoDevice : kExitLink,
                        std::string(what) + " failed: " + why);
}

// Each parser fills s from value, or says why not (naming the argument, with an example).
std::string parse_ip(const std::string& value, Setting& s) {
    const auto colon = value.rfind(':');
    const std::string ip = colon == std::string::npos ? value : value.substr(0, colon);
    const std::string port = colon == std::string::npos ? std::string() : value.substr(colon + 1);
    const auto check = device::check_device_ip(ip, "set ip");
    if (!check.ok()) return check.error;
    const auto number = parse_decimal(port, 5, 99999);
    const std::string bad_port =
        number ? device::check_device_port(static_cast<long>(*number), "set ip")
               : std::string("set ip: give the port after a colon (for example 192.168.1.60:5000)");
    if (!bad_port.empty()) return bad_port;
    s.typed = ip;
    s.ip = check.address;
    s.port = static_cast<std::uint16_t>(*number);
    return {};
}

std::string parse_mac(const std::string& value, Setting& s) {
    const auto fields = device::split_mac_text(value);
    const auto check = fields ? device::check_mac_fields(*fields) : device::MacCheck{};
    if (!fields || !check.ok()) {
        return "set mac: " + quoted_text(value) +
               " is not a MAC address (for example 00:1a:2b:3c:4d:5e)";
    }
    if (const auto refusal = device::mac_refusal(check.mac); !refusal.empty()) {
        return "set mac: " + value + " is " + std::string(refusal) +
               "; a device needs a unicast address (for example 02:00:00:00:00:01)";
    }
    s.mac = *fields;
    return {};
}

std::string parse_ts_port(const std::string& value, Setting& s) {
    const auto n = parse_decimal(value, 5, 65535);
    if (!n || *n == 0) {
        return "set ts-port: " + quoted_text(value) +
               " is not a port 1 to 65535 (for example 1234)";
    }
    s.port = static_cast<std::uint16_t>(*n);
    return {};
}

std::string parse_multicast(const std::string& value, Setting& s) {
    if (value != "on" && value != "off") {
        return "set multicast: " + quoted_text(value) +
               " is not on or off (for example set multicast on)";
    }
    s.enable = value == "on";
    return {};
}

std::string parse_multicast_ip(const std::string& value, Setting& s) {
    const auto check = device::check_multicast_ip(value, "set multicast-ip");
    if (!check.ok()) return check.error;
    s.ip = check.address;
    return {};
}

struct SettingRow {
    const char* name;
    Setting::Kind kind;
    std::string (*parse)(const std::string& value, Setting& s);
};

constexpr SettingRow kSettingRows[] = {
    {"ip", Setting::Kind::Ip, parse_ip},
    {"mac", Setting::Kind::Mac, parse_mac},
    {"ts-port", Setting::Kind::TsPort, parse_ts_port},
    {"multicast", Setting::Kind::Multicast, parse_multicast},
    {"multicast-ip", Setting::Kind::MulticastIp, parse_multicast_ip},
};

std::string unknown_setting(const std::string& what) {
    std::vector<std::string_view> names;
    std::string listed;
    for (const WordRow& word : find_command("set")->words) {
        names.push_back(word.name);
        listed += (listed.empty() ? "" : ", ") + std::string(word.name);
    }
    return "set: unknown setting " + quoted_text(what) + did_you_mean(what, names) + " (" + listed +
           "; for example set ts-port 1234)";
}

}  // namespace

std::string ip_string(Ipv4Net ip) {
    const auto b = ipv4_bytes(ip);
    return format_ipv4(b.data());
}

std::string mac_string(const device::Mac& mac) {
    return format("%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
}

std::optional<Setting> parse_setting(const std::string& what, const std::string& value,
                                     std::string& error) {
    for (const SettingRow& row : kSettingRows) {
        if (what != row.name) continue;
        Setting s;
        s.kind = row.kind;
        s.typed = value;
        error = row.parse(value, s);
        if (!error.empty()) return std::nullopt;
        return s;
    }
    error = unknown_setting(what);
    return std::nullopt;
}

const char* setting_name(Setting::Kind kind) {
    for (const SettingRow& row : kSettingRows) {
        if (row.kind == kind) return row.name;
    }
    return "";
}

int apply_setting(Session& session, const Setting& s) {
    switch (s.kind) {
        case Setting::Kind::Ip: {
            const auto r = device::apply_ip_and_port(s.typed, s.ip, s.port);
            if (!r.acknowledged) return command_failure(session, "set ip", r);
            if (!r.link_followed)
                return session.fail(kExitLink, "set ip: the link did not follow the device");
            return kExitOk;
        }
        case Setting::Kind::Mac: {
            const auto r = device::apply_mac(s.mac);
            return r.acknowledged ? kExitOk : command_failure(session, "set mac", r);
        }
        case Setting::Kind::TsPort: {
            const auto r = device::apply_ts_port(s.port);
            return r.acknowledged ? kExitOk : command_failure(session, "set ts-port", r);
        }
        case Setting::Kind::Multicast: {
            const auto r = device::set_multicast_enable(s.enable);
            if (!r.acknowledged) return command_failure(session, "set multicast", r);
            if (r.read_back && (*r.read_back == 1) != s.enable) {
                return session.fail(kExitLink, "set multicast: the device reads back " +
                                                   std::to_string(*r.read_back));
            }
            return kExitOk;
        }
        case Setting::Kind::MulticastIp: {
            const auto r = device::apply_multicast_ip(s.typed, s.ip);
            return r.acknowledged ? kExitOk : command_failure(session, "set multicast-ip", r);
        }
    }
    return kExitLink;
}

int read_config(Session& session, device::DeviceConfig& config) {
    const device::ConfigReadResult r = device::read_device_config();
    config = r.config;
    if (r.complete()) return kExitOk;
    return session.fail(r.device_silent ? kExitNoDevice : kExitLink,
                        r.device_silent
                            ? "the device stopped answering while its configuration was read"
                            : "the configuration block could not be read clean");
}

void put_config(Session& session, const device::DeviceConfig& c) {
    const bool multicast = c.multicast_enable && *c.multicast_enable == 1;
    const std::string mac = c.mac ? mac_string(*c.mac) : "";
    const std::string ip = c.ip ? ip_string(*c.ip) : "";
    const std::string mip = c.multicast_ip ? ip_string(*c.multicast_ip) : "";
    auto& j = session.json();
    j.add("mac", mac).add("ip", ip);
    if (c.port)
        j.add("port", static_cast<int>(*c.port));
    else
        j.add_null("port");
    if (c.ts_port)
        j.add("ts_port", static_cast<int>(*c.ts_port));
    else
        j.add_null("ts_port");
    j.add("multicast", multicast);
    if (c.multicast_ip)
        j.add("multicast_ip", mip);
    else
        j.add_null("multicast_ip");
    session.say("mac           " + mac);
    session.say("ip            " + ip);
    session.say("port          " + (c.port ? std::to_string(*c.port) : std::string()));
    session.say("ts_port       " + (c.ts_port ? std::to_string(*c.ts_port) : std::string()));
    session.say(std::string("multicast     ") + (multicast ? "on" : "off"));
    session.say("multicast_ip  " + (!c.multicast_ip ? std::string("(not read: multicast is off)")
                                    : multicast     ? mip
                                                    : mip + " (not in effect: multicast is off)"));
}

}  // namespace kestrel::cli
