// The 8-byte value of one device register, kept and sent in memory order (byte 0 first).
#pragma once

#include <array>
#include <cstdint>

namespace kestrel {

using RegisterWord = std::array<std::uint8_t, 8>;

}  // namespace kestrel
