#include "cli/settings_step.h"

#include <algorithm>

#include "cli/command_table.h"
#include "cli/endpoint.h"
#include "cli/exit_codes.h"
#include "cli/shown_text.h"
#include "cli/status_exit.h"
#include "device/address.h"
#include "device/config_commands.h"
#include "device/unicast_mac.h"
#include "platform/format.h"

namespace kestrel::cli {
namespace {

int command_failure(Session& session, const char* what, const Status& status) {
    const std::string why = status.reason().empty() ? "not acknowledged" : status.reason();
    return session.fail(exit_code_for(status.code()), std::string(what) + " failed: " + why);
}

Status bad(std::string reason) {
    return Status::failure(StatusCode::BadInput, std::move(reason));
}

// Each parser fills s from value, or says why not (naming the argument, with an example).
Status parse_ip(const std::string& value, Setting& s) {
    const auto colon = value.rfind(':');
    const std::string ip = colon == std::string::npos ? value : value.substr(0, colon);
    const std::string port = colon == std::string::npos ? std::string() : value.substr(colon + 1);
    const Result<Ipv4Net> address = device::check_device_ip(ip, "set ip");
    if (!address) return address.status();
    const auto number = parse_decimal(port, 5, 99999);
    if (!number) return bad("set ip: give the port after a colon (for example 192.168.1.60:5000)");
    const Result<device::Port> checked = device::check_device_port(*number, "set ip");
    if (!checked) return checked.status();
    s.typed = ip;
    s.endpoint = device::Ipv4Endpoint{*address, *checked};
    return {};
}

Status parse_mac(const std::string& value, Setting& s) {
    const Result<device::Mac> mac = device::parse_mac_text(value);
    if (!mac) {
        return bad("set mac: " + quoted_text(value) +
                   " is not a MAC address (for example 00:1a:2b:3c:4d:5e)");
    }
    if (const auto refusal = device::mac_refusal(*mac); !refusal.empty()) {
        return bad("set mac: " + value + " is " + std::string(refusal) +
                   "; a device needs a unicast address (for example 02:00:00:00:00:01)");
    }
    s.mac = *mac;
    s.typed = device::mac_pairs_as_typed(value);
    return {};
}

Status parse_ts_port(const std::string& value, Setting& s) {
    const auto n = parse_decimal(value, 5, 65535);
    const auto port = n ? device::Port::from(*n) : std::nullopt;
    if (!port) {
        return bad("set ts-port: " + quoted_text(value) +
                   " is not a port 1 to 65535 (for example 1234)");
    }
    s.ts_port = port->value();
    return {};
}

Status parse_multicast(const std::string& value, Setting& s) {
    if (value != "on" && value != "off") {
        return bad("set multicast: " + quoted_text(value) +
                   " is not on or off (for example set multicast on)");
    }
    s.enable = value == "on";
    return {};
}

Status parse_multicast_ip(const std::string& value, Setting& s) {
    const Result<Ipv4Net> address = device::check_multicast_ip(value, "set multicast-ip");
    if (!address) return address.status();
    s.multicast_ip = *address;
    return {};
}

struct SettingRow {
    const char* name;
    Setting::Kind kind;
    Status (*parse)(const std::string& value, Setting& s);
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

Result<Setting> parse_setting(const std::string& what, const std::string& value) {
    for (const SettingRow& row : kSettingRows) {
        if (what != row.name) continue;
        Setting s;
        s.kind = row.kind;
        s.typed = value;
        if (Status parsed = row.parse(value, s); !parsed.ok()) return parsed;
        return s;
    }
    return bad(unknown_setting(what));
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
            const auto r = device::apply_ip_and_port(s.typed, *s.endpoint);
            if (!r.status.ok()) return command_failure(session, "set ip", r.status);
            if (!r.link_followed)
                return session.fail(kExitLink, "set ip: the link did not follow the device");
            return kExitOk;
        }
        case Setting::Kind::Mac: {
            const Status r = device::apply_mac(s.mac, s.typed);
            return r.ok() ? kExitOk : command_failure(session, "set mac", r);
        }
        case Setting::Kind::TsPort: {
            const Status r = device::apply_ts_port(s.ts_port);
            return r.ok() ? kExitOk : command_failure(session, "set ts-port", r);
        }
        case Setting::Kind::Multicast: {
            const auto r = device::set_multicast_enable(s.enable);
            if (!r.status.ok()) return command_failure(session, "set multicast", r.status);
            if (r.read_back && (*r.read_back == 1) != s.enable) {
                return session.fail(kExitLink, "set multicast: the device reads back " +
                                                   std::to_string(*r.read_back));
            }
            return kExitOk;
        }
        case Setting::Kind::MulticastIp: {
            const Status r = device::apply_multicast_ip(s.typed, s.multicast_ip);
            return r.ok() ? kExitOk : command_failure(session, "set multicast-ip", r);
        }
    }
    return kExitLink;
}

int read_config(Session& session, device::DeviceConfig& config) {
    const device::ConfigReadResult r = device::read_device_config();
    config = r.config;
    const Status read = r.status();
    return read.ok() ? kExitOk : session.fail(read);
}

void put_config(Session& session, const device::DeviceConfig& c) {
    const bool multicast = c.multicast_enable && *c.multicast_enable == 1;
    const std::string mac = c.mac ? device::mac_text(*c.mac) : "";
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
