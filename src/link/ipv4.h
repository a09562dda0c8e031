// Dotted-quad IPv4 texts and the 4-byte network-order form the device stores.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel {

// The address bits in network order, as a socket address holds them.
using Ipv4Net = std::uint32_t;

// inet_addr semantics: INADDR_NONE (all ones) for a text that does not parse, which cannot be
// told apart from "255.255.255.255". Used where that behaviour is the described one.
Ipv4Net inet_addr_compat(const std::string& text);

// Parses a dotted quad (the forms inet_aton accepts); nullopt when the text is not an address.
std::optional<Ipv4Net> parse_ipv4(const std::string& text);

// The four bytes of a network-order address, first number first.
std::array<std::uint8_t, 4> ipv4_bytes(Ipv4Net addr);
Ipv4Net ipv4_from_bytes(const std::uint8_t* bytes);

// "%d.%d.%d.%d" of four bytes in order.
std::string format_ipv4(const std::uint8_t* bytes);

}  // namespace kestrel
