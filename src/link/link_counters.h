// The transport's side of LinkStats: one relaxed atomic per field. Internal to src/link/.
#pragma once

#include <atomic>
#include <cstdint>

#include "link/link_stats.h"

namespace kestrel::link_detail {

struct Counters {
    std::atomic<std::uint64_t> exchanges{0};
    std::atomic<std::uint64_t> unacknowledged{0};
    std::atomic<std::uint64_t> stale_discarded{0};
    std::atomic<std::uint64_t> foreign_dropped{0};
    std::atomic<std::uint64_t> spin_caught{0};
    std::atomic<std::uint64_t> silent{0};
    std::atomic<std::uint64_t> missing{0};
    std::atomic<std::uint64_t> naks{0};
    std::atomic<std::uint64_t> unfitting_dropped{0};
    std::atomic<std::uint64_t> late_replies{0};
    std::atomic<std::uint64_t> duplicates{0};
    std::atomic<std::uint64_t> resyncs{0};
    std::atomic<std::uint64_t> nudges{0};
    std::atomic<std::uint64_t> window_runs{0};
    std::atomic<std::uint64_t> window_breaks{0};
    std::atomic<std::uint64_t> window_halvings{0};
    std::atomic<std::uint64_t> exchange_ns{0};
    std::atomic<std::uint64_t> timeout_ns{0};
    std::atomic<std::uint64_t> drain_ns{0};
};

Counters& counters();

inline void bump(std::atomic<std::uint64_t>& counter, std::uint64_t n = 1) {
    counter.fetch_add(n, std::memory_order_relaxed);
}

}  // namespace kestrel::link_detail
