// The device argument: "A.B.C.D:PORT", an address as device::parse_dotted_quad takes it and a
// port 1 to 65535, nothing before or after; or, for --device and a plan's device cell, a host
// name in place of A.B.C.D. Pure functions but for the resolver; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::cli {

struct Endpoint {
    std::array<std::uint8_t, 4> ip{};
    std::uint16_t port = 0;
    std::string ip_text() const;  // "A.B.C.D"
    std::string text() const;     // "A.B.C.D:PORT"
};

std::optional<Endpoint> parse_endpoint(std::string_view text);

// "HOST:PORT" where HOST is a dotted quad or a name, resolved once to its first IPv4 address
// (getaddrinfo; may wait for the resolver). nullopt with error set: not HOST:PORT, or the name
// does not resolve (the resolver's reason named). The text is shown in the error escaped and
// cut (shown_text.h). The one resolver for --device and the batch plan's device cells.
std::optional<Endpoint> resolve_endpoint(std::string_view text, std::string& error);

// A decimal number of 1 to max_digits digits, no sign, no greater than max.
std::optional<unsigned> parse_decimal(std::string_view text, std::size_t max_digits, unsigned max);

}  // namespace kestrel::cli
