#include "placement_bench.h"

#include <cstdio>
#include <vector>

#include "cpu_pin.h"
#include "flash_bench.h"
#include "link/transport.h"
#include "link_bench.h"
#include "processes.h"

namespace kestrel::bench {

PlacementFigures measure_placement(const char* self, const Placement& placement, int rounds,
                                   int exchanges, int pages, const std::filesystem::path& dir) {
    PlacementFigures figures;
    if (usable_cpus() <= placement.peer_cpu) return figures;
    CpuPin pin(0);  // the benchmark, and the flash read's child, which inherits it
    if (!pin.pinned()) return figures;
    figures.pinned = true;
    EchoServer echo(placement.peer_cpu);
    DevsimProcess devsim("", placement.peer_cpu);
    std::vector<double> floor_us, stamped_us, read_us;
    double flash_s = 0;
    std::uint64_t flash_exchanges = 0;
    for (int round = 0; round < rounds; ++round) {
        const Measured floor = measure_floor(echo.port(), 22, exchanges, kDefaultReceiveSpinUs);
        floor_us.insert(floor_us.end(), floor.samples_us.begin(), floor.samples_us.end());
        const Measured stamped =
            measure_stamped_floor(echo.port(), 22, exchanges, kDefaultReceiveSpinUs);
        stamped_us.insert(stamped_us.end(), stamped.samples_us.begin(), stamped.samples_us.end());
        const Measured rd = measure_read_reg(devsim.port(), exchanges);
        read_us.insert(read_us.end(), rd.samples_us.begin(), rd.samples_us.end());
        close_link();
        const FlashRun run =
            run_in_child(self, "read", devsim.port(), dir / "image.bin", dir, pages, true);
        figures.flash_ok = figures.flash_ok && run.ok;
        flash_s += run.seconds - run.fixed_wait_s;
        flash_exchanges += run.exchanges;
    }
    figures.floor_us = summarize(floor_us).median_us;
    figures.stamped_floor_us = summarize(stamped_us).median_us;
    figures.read_reg_us = summarize(read_us).median_us;
    figures.flash_read_us =
        flash_exchanges ? flash_s * 1e6 / static_cast<double>(flash_exchanges) : 0;
    return figures;
}

void print_summary(const Placement& placement, const PlacementFigures& f) {
    if (!f.pinned) {
        std::printf("summary %s not measured: CPU %d is not available\n", placement.name,
                    placement.peer_cpu);
        return;
    }
    std::printf(
        "summary %s floor %.2f us read_reg %.2f us ratio %.2fx flash-read %.2f "
        "us/exchange ratio %.2fx\n",
        placement.name, f.floor_us, f.read_reg_us, f.read_reg_us / f.floor_us, f.flash_read_us,
        f.flash_read_us / f.floor_us);
    std::printf(
        "stamped-floor %s %.2f us ratio %.2fx; against it read_reg %.2fx flash-read %.2fx\n",
        placement.name, f.stamped_floor_us, f.stamped_floor_us / f.floor_us,
        f.read_reg_us / f.stamped_floor_us, f.flash_read_us / f.stamped_floor_us);
}

}  // namespace kestrel::bench
