// The compared rows under a fixed placement: the benchmark on CPU 0 and its peer (the echo
// server, kestrel-devsim) on CPU 0 too, or on CPU 1. A ratio of two rows means something only
// when both rows met the same placement.
#pragma once

#include <cstdint>
#include <filesystem>

namespace kestrel::bench {

struct Placement {
    const char* name;  // "same-cpu" or "cross-cpu"
    int peer_cpu;      // where the echo server and kestrel-devsim run; the benchmark runs on 0
};

struct PlacementFigures {
    bool pinned = false;          // false when the CPUs asked for are not available
    double floor_us = 0;          // spinning floor (22/22 bytes), median
    double stamped_floor_us = 0;  // the same, received with arrival stamps, median
    double read_reg_us = 0;       // read_reg against kestrel-devsim, median
    double flash_read_us = 0;     // core flash read, wall time per exchange
    bool flash_ok = true;
};

// Measures the three rows in interleaved rounds under the placement: `exchanges` per row per
// round, and a flash read of `pages` pages per round in a child process (`self` --child).
// The echo server is forked here, so call it before the benchmark starts any thread.
PlacementFigures measure_placement(const char* self, const Placement& placement, int rounds,
                                   int exchanges, int pages, const std::filesystem::path& dir);

// `summary same-cpu floor A us read_reg B us ratio R1x flash-read C us/exchange ratio R2x`,
// then `stamped-floor same-cpu S us ratio Rx; against it read_reg R1x flash-read R2x`: what
// the arrival stamps alone cost, and the two ratios taken against that stamped floor.
void print_summary(const Placement& placement, const PlacementFigures& figures);

}  // namespace kestrel::bench
