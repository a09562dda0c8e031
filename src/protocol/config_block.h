// The device's 64-byte configuration block as the mailbox reads and writes it: where each
// field lies and how many bytes it takes. Addresses are stored in network order (first number
// first), ports big-endian, the multicast switch as one byte (00h off).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel {

inline constexpr std::size_t kConfigBlockSize = 64;

inline constexpr std::uint16_t kCfgMacOffset = 0, kCfgMacLen = 6;
inline constexpr std::uint16_t kCfgIpOffset = 8, kCfgIpLen = 4;
inline constexpr std::uint16_t kCfgPortOffset = 12, kCfgPortLen = 2;
inline constexpr std::uint16_t kCfgMulticastEnOffset = 16, kCfgMulticastEnLen = 1;
inline constexpr std::uint16_t kCfgMulticastIpOffset = 24, kCfgMulticastIpLen = 4;
inline constexpr std::uint16_t kCfgTsPortOffset = 28, kCfgTsPortLen = 2;

}  // namespace kestrel
