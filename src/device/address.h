// The address and port texts a user gives for the device, checked before anything is sent.
//
// Every check_* function takes the field's name as the caller shows it ("New IP", "set ip") and,
// on refusal, gives one sentence that names the field and gives an example; nothing in this
// module touches the link. Pure functions, callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "link/ipv4.h"

namespace kestrel::device {

// Four decimal numbers 0 to 255 (one to three digits each; a leading zero is decimal, never
// octal) joined by three dots, with nothing before or after. No short, hex or blank-padded forms.
std::optional<Ipv4Net> parse_dotted_quad(std::string_view text);

// The outcome of checking one address text: the address, or why it was refused.
struct [[nodiscard]] AddressCheck {
    Ipv4Net address = 0;  // network order; 0 when refused
    std::string error;    // empty when accepted
    bool ok() const { return error.empty(); }
};

// Any dotted quad: the address the link talks to.
AddressCheck check_server_ip(std::string_view text, std::string_view field);
// A dotted quad that can be a device's own address: not 0.0.0.0, not 255.255.255.255 and not
// in 224.0.0.0/4.
AddressCheck check_device_ip(std::string_view text, std::string_view field);
// A dotted quad in 224.0.0.0/4.
AddressCheck check_multicast_ip(std::string_view text, std::string_view field);

// The port a device answers on: 1 to 65535. Empty when accepted, else the refusal text.
[[nodiscard]] std::string check_device_port(long port, std::string_view field);

}  // namespace kestrel::device
