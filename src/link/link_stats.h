// Counters of the register link since the process started: what the exchanges cost and what
// the link saw. Updated by the transport under the link lock; read from any thread.
#pragma once

#include <cstdint>

namespace kestrel {

struct LinkStats {
    std::uint64_t exchanges = 0;          // register exchanges and probes sent
    std::uint64_t unacknowledged = 0;     // read_reg / write_reg calls that returned false
    std::uint64_t stale_discarded = 0;    // stray datagrams dropped (waiting, late, unfitting)
    std::uint64_t foreign_dropped = 0;    // datagrams from another host or port, ignored
    std::uint64_t spin_caught = 0;        // replies taken while the receive was still spinning
    std::uint64_t silent = 0;             // waits for a reply that ran out (time-outs)
    std::uint64_t missing = 0;            // requests whose reply never came (timed out, or a gap)
    std::uint64_t naks = 0;               // fitting replies without 88h
    std::uint64_t unfitting_dropped = 0;  // datagrams from the device that fit no request
    std::uint64_t late_replies = 0;       // strays that were the late reply of a timed-out request
    std::uint64_t duplicates = 0;         // strays that were copies of a reply already taken
    std::uint64_t resyncs = 0;            // probes that proved the link in step
    std::uint64_t nudges = 0;             // slow replies asked for again (a read, or a probe)
    std::uint64_t window_runs = 0;        // runs of requests sent through the window
    std::uint64_t window_breaks = 0;      // windows of requests stopped by a fault
    std::uint64_t window_halvings = 0;    // of those, the ones that looked like a full queue
    std::uint64_t exchange_ns = 0;        // wall time spent inside register exchanges and windows
    std::uint64_t timeout_ns = 0;         // of that, time spent waiting for replies that never came
    std::uint64_t drain_ns = 0;           // and time spent draining windows that broke
};

// A snapshot of the counters.
[[nodiscard]] LinkStats link_stats();

// The difference b - a of two snapshots, field by field.
[[nodiscard]] LinkStats link_stats_since(const LinkStats& a, const LinkStats& b);

}  // namespace kestrel
