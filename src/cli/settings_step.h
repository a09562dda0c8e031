// One configuration change as kestrelctl takes it ("ip", "mac", "ts-port", "multicast",
// "multicast-ip" and a value), checked before anything is sent, then run through the device
// layer's command with its traces. Shared by `set` and the batch's unit steps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cli/session.h"
#include "device/config_read.h"
#include "device/hex_pairs.h"
#include "link/ipv4.h"

namespace kestrel::cli {

struct Setting {
    enum class Kind { Ip, Mac, TsPort, Multicast, MulticastIp } kind = Kind::Ip;
    std::string typed;  // the value as given
    Ipv4Net ip = 0;
    std::uint16_t port = 0;
    device::MacFields mac{};
    bool enable = false;
};

// nullopt with error set (naming the argument, with an example) when the value can't be right.
std::optional<Setting> parse_setting(const std::string& what, const std::string& value,
                                     std::string& error);

// The setting's name as kestrelctl takes it ("ip", "mac", "ts-port", "multicast",
// "multicast-ip").
const char* setting_name(Setting::Kind kind);

// Runs the command; kExitOk, or the failure recorded in the session and its exit code
// (kExitNoDevice when the device went silent, kExitLink otherwise).
[[nodiscard]] int apply_setting(Session& session, const Setting& setting);

// Reads the configuration block; kExitOk with config filled, or the failure recorded.
[[nodiscard]] int read_config(Session& session, device::DeviceConfig& config);

// The block's fields as --json fields (mac, ip, port, ts_port, multicast, multicast_ip) and as
// human lines.
void put_config(Session& session, const device::DeviceConfig& config);

std::string mac_string(const device::Mac& mac);
std::string ip_string(Ipv4Net ip);  // "A.B.C.D"

}  // namespace kestrel::cli
