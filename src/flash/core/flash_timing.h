// How long the flash procedures wait for the chip: the fixed sleep after a chip erase and the
// most status polls after a page program.
#pragma once

#include <cstdint>

namespace kestrel {

inline constexpr std::uint32_t kEraseSleepMs = 13000;
inline constexpr int kProgramMaxPolls = 250;

}  // namespace kestrel
