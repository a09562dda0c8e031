// Dotted-quad texts of the simulated device's own addresses (its bind address, the address a
// commit moves it to, its multicast address), in the network-order form the block stores.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kestrel::sim {

// The forms inet_aton accepts; nullopt when the text is not an address.
std::optional<std::uint32_t> parse_dotted_quad(const std::string& text);

// "a.b.c.d" of a network-order address, first number first.
std::string dotted_quad(std::uint32_t addr_net);

}  // namespace kestrel::sim
