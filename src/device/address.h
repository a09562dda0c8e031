// The address and port texts a user gives for the device, checked before anything is sent.
//
// Every check_* function takes the field's name as the caller shows it ("New IP", "set ip") and
// gives the value, or a BadInput Status whose reason is one sentence that names the field and
// gives an example; nothing in this module touches the link. Pure functions, any thread.
#pragma once

#include <optional>
#include <string_view>

#include "device/port.h"
#include "link/ipv4.h"
#include "platform/status.h"

namespace kestrel::device {

// Four decimal numbers 0 to 255 (one to three digits each; a leading zero is decimal, never
// octal) joined by three dots, with nothing before or after. No short, hex or blank-padded forms.
std::optional<Ipv4Net> parse_dotted_quad(std::string_view text);

// Any dotted quad: the address the link talks to.
[[nodiscard]] Result<Ipv4Net> check_server_ip(std::string_view text, std::string_view field);
// Whether an address can be a device's own: not 0.0.0.0, not 255.255.255.255 and not in
// 224.0.0.0/4.
[[nodiscard]] bool can_be_device_address(Ipv4Net address);
// A dotted quad that can_be_device_address.
[[nodiscard]] Result<Ipv4Net> check_device_ip(std::string_view text, std::string_view field);
// A dotted quad in 224.0.0.0/4.
[[nodiscard]] Result<Ipv4Net> check_multicast_ip(std::string_view text, std::string_view field);

// The port a device answers on: 1 to 65535.
[[nodiscard]] Result<Port> check_device_port(long port, std::string_view field);

}  // namespace kestrel::device
