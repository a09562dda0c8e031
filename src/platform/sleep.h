// The one sleep that every wait on the device goes through. Tests replace it to count the
// 30 ms, 1000 ms and 13000 ms waits instead of spending them.
#pragma once

#include <cstdint>
#include <functional>

namespace kestrel {

using SleepFunction = std::function<void(std::uint32_t ms)>;

// Sleeps through the current sleep function (by default a real sleep). Thread-safe.
void sleep_ms(std::uint32_t ms);

// Replaces the sleep function and returns the previous one; an empty one restores the real sleep.
SleepFunction set_sleep_function(SleepFunction fn);

}  // namespace kestrel
