// kestrel-bench: kestrel's exchanges against the loopback floor, in one run on one machine.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "cli_bench.h"
#include "flash_bench.h"
#include "link/transport.h"
#include "link_bench.h"
#include "placement_bench.h"
#include "platform/trace.h"
#include "processes.h"
#include "protocol/spi_regs.h"
#include "soak_plan.h"
#if KESTREL_BENCH_GUI
#include "gui_bench.h"
#endif

namespace {

using namespace kestrel;
using namespace kestrel::bench;

void print_row(const std::string& name, const Measured& m, const Measured* floor = nullptr,
               const Measured* spin_floor = nullptr) {
    std::printf("%-34s median %7.2f us  mean %7.2f us  p99 %7.2f us  cpu %6.2f us", name.c_str(),
                m.time.median_us, m.time.mean_us, m.time.p99_us, m.cpu_us_per_exchange);
    if (floor) std::printf("  ratio %.2fx", m.time.median_us / floor->time.median_us);
    if (spin_floor) {
        std::printf("  vs spinning floor %.2fx", m.time.median_us / spin_floor->time.median_us);
    }
    std::printf("\n");
}

constexpr std::size_t kRounds = 12;

// Adds a part measured in one round to a row's samples; the row is summarized once at the end.
void merge(Measured& row, const Measured& part) {
    const double before = static_cast<double>(row.samples_us.size());
    const double added = static_cast<double>(part.samples_us.size());
    row.cpu_us_per_exchange =
        (row.cpu_us_per_exchange * before + part.cpu_us_per_exchange * added) / (before + added);
    row.samples_us.insert(row.samples_us.end(), part.samples_us.begin(), part.samples_us.end());
}

void save_samples(const std::string& path, const std::vector<double>& us) {
    std::ofstream out(path);
    for (double v : us)
        out << v << '\n';
}

std::filesystem::path make_work_dir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kestrel-bench-XXXXXX").string();
    return mkdtemp(pattern.data()) ? std::filesystem::path(pattern) : std::filesystem::path(".");
}

void write_image(const std::filesystem::path& path) {
    std::vector<std::uint8_t> image(kFlashSize);
    std::mt19937 rng(12345);
    for (auto& b : image)
        b = static_cast<std::uint8_t>(rng());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<long>(image.size()));
}

// The ratios: to exchanges x read_reg's median (what the exchanges alone would take at the
// speed measured above), to exchanges x its mean (the same without the spread of single
// exchanges), to exchanges x the floor, and on a second line to the time the run itself spent
// inside its exchanges, which no drift of the machine between the rows can move.
void print_flash(const char* name, int pages, const FlashRun& run, const Measured& read_reg,
                 const Measured& floor) {
    const double work_s = run.seconds - run.fixed_wait_s;
    const double per_exchange_us =
        run.exchanges ? work_s * 1e6 / static_cast<double>(run.exchanges) : 0;
    std::printf("%-34s %5d pages %7.2f s", name, pages, work_s);
    if (run.fixed_wait_s > 0) std::printf(" (+%.2f s fixed waits)", run.fixed_wait_s);
    if (run.skipped_wait_s > 0) std::printf(" (%.2f s fixed waits skipped)", run.skipped_wait_s);
    std::printf(
        "  %llu exchanges, %.2f us each  ratio %.2fx (to exchanges x read_reg median)  vs "
        "read_reg mean %.2fx  vs floor %.2fx%s\n",
        static_cast<unsigned long long>(run.exchanges), per_exchange_us,
        per_exchange_us / read_reg.time.median_us, per_exchange_us / read_reg.time.mean_us,
        per_exchange_us / floor.time.median_us, run.ok ? "" : "  FAILED");
    std::printf("%-34s %7.2f s outside the exchanges  ratio %.3fx (to the time inside them)\n",
                (std::string("  ") + name + ", own time").c_str(), work_s - run.in_exchanges_s,
                run.in_exchanges_s > 0 ? work_s / run.in_exchanges_s : 0.0);
}

#if KESTREL_BENCH_GUI
// kestrel-bench --child gui PORT IMAGE DIR PAGES wait: the dialog's read, printed like the core
// procedures' children print theirs.
int gui_child_main(int argc, char** argv) {
    set_trace_sink([](std::string_view) {});
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[3]));
    const FlashRun run = run_gui_read(argc, argv, port, argv[4]);
    print_run(run);
    return run.ok ? 0 : 1;
}
#endif

// Every compared pair again, pinned: the benchmark on CPU 0, its peers on CPU 0 or CPU 1. False
// when a pinned flash read failed.
bool print_placement_summaries(const char* self, bool quick, const std::filesystem::path& dir) {
    const Placement placements[] = {{"same-cpu", 0}, {"cross-cpu", 1}};
    PlacementFigures figures[2];
    bool ok = true;
    for (int i = 0; i < 2; ++i) {
        figures[i] = measure_placement(self, placements[i], quick ? 2 : 6, quick ? 1500 : 10000,
                                       quick ? 512 : 1024, dir);
        ok = ok && figures[i].flash_ok;
    }
    for (int i = 0; i < 2; ++i)
        print_summary(placements[i], figures[i]);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
#if KESTREL_BENCH_GUI
    if (argc == 8 && std::strcmp(argv[1], "--child") == 0 && std::strcmp(argv[2], "gui") == 0) {
        return gui_child_main(argc, argv);
    }
#endif
    if (argc > 1 && std::strcmp(argv[1], "--child") == 0) return child_main(argc, argv);
    bool quick = false;
    bool summary_only = false;
    std::string samples_dir;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[i], "--cli") == 0) {
            set_trace_sink([](std::string_view) {});
            const std::filesystem::path dir = make_work_dir();
            const int rc = cli_rows_main(argc, argv, dir);
            std::filesystem::remove_all(dir);
            return rc;
        } else if (std::strcmp(argv[i], "--summary") == 0) {
            summary_only = true;
        } else if (std::strcmp(argv[i], "--samples") == 0 && i + 1 < argc) {
            samples_dir = argv[++i];
        } else if (std::strcmp(argv[i], "--help") == 0) {
            std::puts(
                "usage: kestrel-bench [--quick] [--summary] [--samples DIR] | --cli [compare] "
                "[latency] "
                "[batch]\n"
                "Measures kestrel's register exchanges, a Start press and full flash\n"
                "transfers against a bare UDP ping-pong on loopback, in one run.\n"
                "--summary: only the pinned pairs and their two summary lines.");
            return 0;
        } else {
            std::fprintf(stderr, "kestrel-bench: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    const int n = quick ? 6000 : 60000;
    set_trace_sink([](std::string_view) {});
    if (summary_only) {
        const std::filesystem::path dir = make_work_dir();
        write_image(dir / "image.bin");
        const bool ok = print_placement_summaries(argv[0], quick, dir);
        std::filesystem::remove_all(dir);
        return ok ? 0 : 1;
    }

    EchoServer echo;  // forked before any thread exists
    std::printf(
        "kestrel-bench (%s): %d exchanges per row in %zu interleaved rounds, loopback; the link "
        "spins %u us before it blocks\n\n",
        quick ? "quick" : "full", n, kRounds, kDefaultReceiveSpinUs);

    DevsimProcess devsim("--multicast");
    // The rows are measured in interleaved rounds, each starting one row later than the last,
    // so that a machine that drifts during the run, or that runs an exchange faster or slower
    // after a given other one, does so for all of them alike.
    const std::uint32_t spin = kDefaultReceiveSpinUs;
    const int k = n / static_cast<int>(kRounds);
    Measured floor22, floor18, spin22, rd, wr, rd_block;
    const std::vector<std::function<void()>> rows = {
        [&] { merge(floor22, measure_floor(echo.port(), 22, k)); },
        [&] { merge(floor18, measure_floor(echo.port(), 18, k)); },
        [&] { merge(spin22, measure_floor(echo.port(), 22, k, spin)); },
        [&] { merge(rd, measure_read_reg(devsim.port(), k)); },
        [&] { merge(wr, measure_write_reg(devsim.port(), k)); },
        [&] {
            set_receive_spin_us(0);
            merge(rd_block, measure_read_reg(devsim.port(), k));
            set_receive_spin_us(spin);
        },
    };
    for (std::size_t round = 0; round < kRounds; ++round) {
        for (std::size_t i = 0; i < rows.size(); ++i)
            rows[(round + i) % rows.size()]();
    }
    for (Measured* row : {&floor22, &floor18, &spin22, &rd, &wr, &rd_block})
        row->time = summarize(row->samples_us);
    print_row("floor ping-pong 22/22 bytes", floor22);
    print_row("floor ping-pong 18/18 bytes", floor18);
    print_row("floor 22/22, spin " + std::to_string(spin) + " us", spin22);
    print_row("read_reg vs kestrel-devsim", rd, &floor22, &spin22);
    print_row("write_reg vs kestrel-devsim", wr, &floor18);
    print_row("read_reg, no spin", rd_block, &floor22);
    if (!samples_dir.empty()) {
        save_samples(samples_dir + "/floor22.txt", floor22.samples_us);
        save_samples(samples_dir + "/floor22_spin.txt", spin22.samples_us);
        save_samples(samples_dir + "/read_reg.txt", rd.samples_us);
        save_samples(samples_dir + "/read_reg_no_spin.txt", rd_block.samples_us);
    }

    const Summary start = measure_start_press(devsim.port(), quick ? 10 : 50);
    std::printf("%-34s median %7.2f ms  p99 %7.2f ms\n", "Start press device work", start.median_us,
                start.p99_us);
    close_link();
    const DevsimProcess::Service service = devsim.stop();
    std::printf("%-34s mean   %7.2f us per request (+ %.2f us in sendto)\n",
                "kestrel-devsim service time", service.handling_us, service.send_us);

    // Whole-chip transfers, each against a fresh simulator; quick mode covers part of the chip
    // and counts the fixed waits instead of sleeping them.
    const int pages = quick ? 2048 : kFlashPages;
    const std::filesystem::path dir = make_work_dir();
    const std::filesystem::path image = dir / "image.bin";
    write_image(image);
    std::printf("\n");
    FlashRun read_run, write_run;
    {
        DevsimProcess chip;
        write_run = run_in_child(argv[0], "write", chip.port(), image, dir, pages, quick);
        read_run = run_in_child(argv[0], "read", chip.port(), image, dir, pages, quick);
    }
    print_flash("flash write (core)", pages, write_run, rd, floor18);
    print_flash("flash read (core)", pages, read_run, rd, floor22);
    bool gui_ok = true;
#if KESTREL_BENCH_GUI
    // The dialog's read, bracketed by a second core read so that drift during the run shows
    // in neither ratio; both per page, since quick mode reads part of the chip in the core.
    FlashRun gui_run, read_again;
    {
        DevsimProcess chip;
        gui_run = run_in_child(argv[0], "gui", chip.port(), image, dir, kFlashPages, false);
        read_again = run_in_child(argv[0], "read", chip.port(), image, dir, pages, quick);
    }
    const double core_page_s = (read_run.seconds + read_again.seconds) / (2.0 * pages);
    gui_ok = gui_run.ok && read_again.ok;
    print_flash("flash read (CUpdateFWDlg, offscreen)", kFlashPages, gui_run, rd, floor22);
    std::printf("%-34s ratio %.2fx (to the core read per page, %.2f s and %.2f s)\n",
                "  dialog read vs core read", gui_run.seconds / kFlashPages / core_page_s,
                read_run.seconds, read_again.seconds);
#endif
    std::printf("%-34s read %.1f MiB  write %.1f MiB", "peak resident memory",
                static_cast<double>(read_run.peak_rss_kib) / 1024.0,
                static_cast<double>(write_run.peak_rss_kib) / 1024.0);
#if KESTREL_BENCH_GUI
    std::printf("  read through the dialog %.1f MiB",
                static_cast<double>(gui_run.peak_rss_kib) / 1024.0);
#endif
    std::printf("\n");

    // The cost of link faults: a read at 0.1% of each kind against a clean read of the same
    // length, in the same placement as the rows above.
    const int fault_pages = quick ? 128 : kFlashPages;
    FlashRun clean_run, faulty_run;
    std::uint64_t injected = 0;
    {
        DevsimProcess chip;
        clean_run = run_in_child(argv[0], "read", chip.port(), image, dir, fault_pages, true);
    }
    {
        // 0.1% of each reply fault; late 60-1000 ms, half released by the next request. No
        // duplicated requests: this row measures the read's recovery, as it always has.
        soak::FaultMix mix = soak::soak_fault_mix();
        mix.dup_request = 0;
        DevsimProcess chip(soak::devsim_fault_args(mix, 1));
        faulty_run = run_in_child(argv[0], "read", chip.port(), image, dir, fault_pages, true);
        injected = chip.stop().faults;
    }
    // A faulty read that stopped at a page error covered fewer pages than the clean one: its
    // time is then set against what its own exchanges would have cost on the clean link.
    const double clean_s = faulty_run.ok || clean_run.exchanges == 0
                               ? clean_run.seconds
                               : clean_run.seconds * static_cast<double>(faulty_run.exchanges) /
                                     static_cast<double>(clean_run.exchanges);
    const double lost_ms =
        injected ? (faulty_run.seconds - clean_s) * 1000.0 / static_cast<double>(injected) : 0.0;
    std::printf(
        "%-34s %5d pages %7.2f s vs %.2f s clean, %llu faults injected: %.1f ms lost "
        "per fault%s\n",
        "fault cost: read at 0.1% each", fault_pages, faulty_run.seconds, clean_s,
        static_cast<unsigned long long>(injected), lost_ms,
        faulty_run.ok ? ""
                      : " (the read stopped at a page error; clean time for as many "
                        "exchanges)");
    std::printf(
        "%-34s lose-request, lose-reply, nak, late 60-1000 ms (half released by the next "
        "request), dup-reply\n\n",
        "");

    gui_ok = print_placement_summaries(argv[0], quick, dir) && gui_ok;
    std::filesystem::remove_all(dir);
    return read_run.ok && write_run.ok && gui_ok ? 0 : 1;
}
