// kestrel-bench --cli: the command line against the update dialog and the core read, and a batch
// of units scaling from one to eight, in one run.
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "cli_bench.h"
#include "cpu_pin.h"
#include "flash_bench.h"
#include "processes.h"
#include "protocol/spi_regs.h"
#if KESTREL_BENCH_GUI
#include "gui_bench.h"
#endif

namespace kestrel::bench {

namespace {

// Each row goes out before the next child is forked, so that no child repeats it.
__attribute__((format(printf, 1, 2))) void row(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

}  // namespace

int cli_rows_main(int argc, char** argv, const std::filesystem::path& dir) {
    // `--cli compare latency batch` names the groups to run; none named runs them all.
    bool named = false, compare = false, latency = false, batch = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        compare |= a == "compare";
        latency |= a == "latency";
        batch |= a == "batch";
        named |= a == "compare" || a == "latency" || a == "batch";
    }
    if (!named) compare = latency = batch = true;
    // 1.5 MiB of image, the rest of the chip blank.
    const std::filesystem::path image = dir / "image-1m5.bin";
    {
        std::vector<std::uint8_t> bytes(1536 * 1024);
        std::mt19937 rng(99);
        for (auto& b : bytes)
            b = static_cast<std::uint8_t>(rng());
        std::ofstream(image, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    }
    bool ok = true;
    if (compare) {
        // Each compared pair meets one placement: the tool (kestrelctl, the dialog, the core read)
        // on CPU 0 and the simulator on CPU 1, as a tool and a device each have their own.
        const int device_cpu = usable_cpus() >= 2 ? 1 : -1;
        const CpuPin tool_cpu(0);
        row("placement: tool on CPU 0, kestrel-devsim on CPU %d%s\n", device_cpu,
            tool_cpu.pinned() ? "" : " (pinning failed)");
        CliRun write;
        {
            DevsimProcess chip("", device_cpu);
            write = run_kestrelctl(
                {"--device", "127.0.0.1:" + std::to_string(chip.port()), "write", image.string()});
        }
        ok = ok && write.ok;
        row("%-44s %7.2f s (+%.2f s fixed waits)  %llu exchanges%s\n",
            "kestrelctl write 1.5 MiB, default verify", write.seconds - write.waits_s,
            write.waits_s, static_cast<unsigned long long>(write.exchanges),
            write.ok ? "" : "  FAILED");
#if KESTREL_BENCH_GUI
        FlashRun dialog;
        {
            DevsimProcess chip("", device_cpu);
            dialog = run_gui_update(argc, argv, chip.port(), image);
        }
        ok = ok && dialog.ok;
        const double dialog_work = dialog.seconds - dialog.fixed_wait_s;
        row("%-44s %7.2f s (+%.2f s fixed waits)  %llu exchanges%s\n",
            "dialog Write Flash + Read Flash + Verify", dialog_work, dialog.fixed_wait_s,
            static_cast<unsigned long long>(dialog.exchanges), dialog.ok ? "" : "  FAILED");
        row("%-44s ratio %.2fx without the fixed waits, %.2fx with them\n",
            "  kestrelctl write vs the dialog's cycle",
            (write.seconds - write.waits_s) / dialog_work, write.seconds / dialog.seconds);
#else
        (void)argc;
        (void)argv;
#endif

        FlashRun core;
        CliRun read;
        {
            DevsimProcess chip("", device_cpu);
            core = run_in_child(argv[0], "read", chip.port(), image, dir, kFlashPages, false);
            read = run_kestrelctl({"--device", "127.0.0.1:" + std::to_string(chip.port()), "read",
                                   (dir / "cli-dump.bin").string()});
        }
        ok = ok && read.ok && core.ok;
        row("%-44s %7.2f s  core read %.2f s  ratio %.3fx\n", "kestrelctl read, whole chip",
            read.seconds, core.seconds, read.seconds / core.seconds);
    }

    // From here on the scheduler places the processes (a batch needs both CPUs). A round trip
    // like a real network's: the device answers 300 us after each request.
    if (latency) {
        DevsimProcess chip("--reply-delay-us 300");
        const std::string device = "127.0.0.1:" + std::to_string(chip.port());
        const CliRun slow_write = run_kestrelctl({"--device", device, "write", image.string()});
        const CliRun slow_read =
            run_kestrelctl({"--device", device, "read", (dir / "cli-dump-300us.bin").string()});
        ok = ok && slow_write.ok && slow_read.ok;
        row("%-44s %7.2f min (+%.2f s fixed waits)  %llu exchanges%s\n",
            "300 us: kestrelctl write 1.5 MiB, verify",
            (slow_write.seconds - slow_write.waits_s) / 60, slow_write.waits_s,
            static_cast<unsigned long long>(slow_write.exchanges), slow_write.ok ? "" : "  FAILED");
        row("%-44s %7.2f min  %llu exchanges%s\n", "300 us: kestrelctl read, whole chip",
            slow_read.seconds / 60, static_cast<unsigned long long>(slow_read.exchanges),
            slow_read.ok ? "" : "  FAILED");
    }

    // Units of 256 pages each (write and verify), one kestrel-devsim per unit.
    for (const char* delay : {"--reply-delay-us 300", ""}) {
        if (!batch) break;
        const BatchScale one = measure_batch(1, 256, delay, dir.string());
        const BatchScale eight = measure_batch(8, 256, delay, dir.string());
        ok = ok && one.ok && eight.ok;
        row("batch %-38s N=1 %8.0f exch/s (%.0f outside the erase) cpu %.2f us/exch; "
            "N=8 %8.0f exch/s (%.0f) cpu %.2f us/exch; scaling %.2fx (%.2fx), cpu %.2fx%s\n",
            *delay ? "reply delay 300 us" : "reply delay 0", one.exchanges_per_s(),
            one.busy_exchanges_per_s(), one.cpu_us_per_exchange(), eight.exchanges_per_s(),
            eight.busy_exchanges_per_s(), eight.cpu_us_per_exchange(),
            eight.exchanges_per_s() / one.exchanges_per_s(),
            eight.busy_exchanges_per_s() / one.busy_exchanges_per_s(),
            eight.cpu_us_per_exchange() / one.cpu_us_per_exchange(),
            one.ok && eight.ok ? "" : "  FAILED");
    }
    return ok ? 0 : 1;
}

}  // namespace kestrel::bench
