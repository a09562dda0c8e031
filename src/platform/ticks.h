// Monotonic millisecond clock, wrapping at 32 bits like the tick count the log line prints.
#pragma once

#include <cstdint>

namespace kestrel {

// Milliseconds since an arbitrary fixed point (boot on Linux), modulo 2^32.
std::uint32_t tick_count_ms();

// Microseconds on the same monotonic clock, for time-outs and measurements.
std::uint64_t monotonic_us();

// Nanoseconds on the same monotonic clock, for sums of many short spans.
std::uint64_t monotonic_ns();

}  // namespace kestrel
