// One configuration change as kestrelctl takes it ("ip", "mac", "ts-port", "multicast",
// "multicast-ip" and a value), checked before anything is sent, then run through the device
// layer's command with its traces. Shared by `set` and the batch's unit steps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cli/session.h"
#include "device/config_read.h"
#include "device/ipv4_endpoint.h"
#include "device/mac.h"
#include "link/ipv4.h"
#include "platform/status.h"

namespace kestrel::cli {

// One setting, parsed: only the member of its kind is set.
struct Setting {
    enum class Kind { Ip, Mac, TsPort, Multicast, MulticastIp } kind = Kind::Ip;
    // The value as given, for the command's trace: the address of "ip" and "multicast-ip", the
    // six pairs of "mac" joined as typed.
    std::string typed;
    std::optional<device::Ipv4Endpoint> endpoint;  // Ip
    device::Mac mac{};                             // Mac
    std::uint16_t ts_port = 0;                     // TsPort, 1 to 65535
    bool enable = false;                           // Multicast
    Ipv4Net multicast_ip = 0;                      // MulticastIp
};

// The setting, or BadInput whose reason names the argument and gives an example.
[[nodiscard]] Result<Setting> parse_setting(const std::string& what, const std::string& value);

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

std::string ip_string(Ipv4Net ip);  // "A.B.C.D"

}  // namespace kestrel::cli
