#include "platform/ticks.h"

#include <ctime>

namespace kestrel {

std::uint64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

std::uint64_t monotonic_us() {
    return monotonic_ns() / 1000u;
}

std::uint32_t tick_count_ms() {
    return static_cast<std::uint32_t>(monotonic_us() / 1000u);
}

}  // namespace kestrel
