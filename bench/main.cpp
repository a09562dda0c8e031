// kestrel-bench: kestrel's exchanges against the loopback floor, in one run on one machine.
#include <cstdio>
#include <cstring>
#include <string>

#include "link/transport.h"
#include "link_bench.h"
#include "platform/trace.h"
#include "processes.h"

namespace {

using namespace kestrel;
using namespace kestrel::bench;

void print_row(const char* name, const Measured& m, double floor_median) {
    std::printf("%-34s median %7.2f us  p99 %7.2f us  cpu %6.2f us", name, m.time.median_us,
                m.time.p99_us, m.cpu_us_per_exchange);
    if (floor_median > 0) std::printf("  ratio %.2fx", m.time.median_us / floor_median);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[i], "--help") == 0) {
            std::puts(
                "usage: kestrel-bench [--quick]\n"
                "Measures kestrel's register exchanges, a Start press and full flash\n"
                "transfers against a bare UDP ping-pong on loopback, in one run.");
            return 0;
        } else {
            std::fprintf(stderr, "kestrel-bench: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    const int n = quick ? 5000 : 50000;
    set_trace_sink([](std::string_view) {});

    EchoServer echo;  // forked before any thread exists
    std::printf("kestrel-bench (%s): %d exchanges per row, loopback\n\n", quick ? "quick" : "full",
                n);

    const Measured floor22 = measure_floor(echo.port(), 22, n);
    const Measured floor18 = measure_floor(echo.port(), 18, n);
    print_row("floor ping-pong 22/22 bytes", floor22, 0);
    print_row("floor ping-pong 18/18 bytes", floor18, 0);

    DevsimProcess devsim("--multicast");
    const Measured rd = measure_read_reg(devsim.port(), n);
    const Measured wr = measure_write_reg(devsim.port(), n);
    print_row("read_reg vs kestrel-devsim", rd, floor22.time.median_us);
    print_row("write_reg vs kestrel-devsim", wr, floor18.time.median_us);
    for (std::uint32_t spin : {20u, 50u, 100u}) {
        set_receive_spin_us(spin);
        const Measured srd = measure_read_reg(devsim.port(), n);
        char name[64];
        std::snprintf(name, sizeof name, "read_reg, spin %u us", spin);
        print_row(name, srd, floor22.time.median_us);
    }
    set_receive_spin_us(0);

    const Summary start = measure_start_press(devsim.port(), quick ? 10 : 50);
    std::printf("%-34s median %7.2f ms  p99 %7.2f ms\n", "Start press device work", start.median_us,
                start.p99_us);
    close_link();
    const DevsimProcess::Service service = devsim.stop();
    std::printf("%-34s mean   %7.2f us per request (+ %.2f us in sendto)\n",
                "kestrel-devsim service time", service.handling_us, service.send_us);
    return 0;
}
