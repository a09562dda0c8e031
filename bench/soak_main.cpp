// kestrel-soak: whole-chip reads and writes under link faults, each run in a process of its own
// against a kestrel-devsim of its own that keeps its flash in a file, judged byte for byte.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "flash/core/flash_procedures.h"
#include "flash/core/flash_worker.h"
#include "link/link_stats.h"
#include "link/transport.h"
#include "link/window.h"
#include "platform/sleep.h"
#include "platform/trace.h"
#include "processes.h"
#include "soak_plan.h"

namespace {

using namespace kestrel;
using namespace kestrel::soak;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

using Bytes = std::vector<std::uint8_t>;

Bytes random_image(std::uint32_t seed) {
    Bytes image(kFlashSize);
    std::mt19937 rng(seed);
    for (auto& b : image)
        b = static_cast<std::uint8_t>(rng());
    return image;
}

bool save(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    return static_cast<bool>(out);
}

Bytes load(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool same_prefix(const Bytes& a, const Bytes& b, std::size_t n) {
    return a.size() >= n && b.size() >= n && std::equal(a.begin(), a.begin() + n, b.begin());
}

// Keeps the status, the boxes and the last trace line that says why a page failed.
class SoakReporter : public FlashReporter {
  public:
    void set_status(std::string_view text) override { status = text; }
    void set_progress(int) override {}
    void message_box(std::string_view text) override {
        if (!boxes.empty()) boxes += "; ";
        boxes += text;
    }
    std::string status;
    std::string boxes;
};

struct RunSpec {
    int number = 0;  // 0: a clean baseline run
    RunKind kind = RunKind::Read;
    std::uint64_t seed = 0;
    bool faulty = true;
    bool blank = false;  // the device's chip starts erased (all FFh)
};

// Threads that keep the CPUs busy beside the runs, as a loaded machine does. They touch no
// allocator or lock, so the runs' processes can be forked while they spin.
class BusyLoad {
  public:
    explicit BusyLoad(int threads) {
        for (int i = 0; i < threads; ++i) {
            threads_.emplace_back([this] {
                std::uint64_t x = 1;
                while (!stop_.load(std::memory_order_relaxed))
                    x = x * 6364136223846793005ULL + 1442695040888963407ULL;
                sink_.store(x, std::memory_order_relaxed);
            });
        }
    }
    ~BusyLoad() {
        stop_ = true;
        for (std::thread& t : threads_)
            t.join();
    }
    BusyLoad(const BusyLoad&) = delete;
    BusyLoad& operator=(const BusyLoad&) = delete;

  private:
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> sink_{0};
    std::vector<std::thread> threads_;
};

constexpr int kQuickLoadThreads = 2;

// One run, in the calling process (a child of the soak): a simulator over a flash file, the
// procedure, and the comparison of the files.
RunResult carry_out(const RunSpec& spec, const SoakOptions& options, const fs::path& work) {
    RunResult result;
    result.kind = spec.kind;
    result.seed = spec.seed;
    const fs::path dir = work / ("run-" + std::to_string(spec.number) + "-" +
                                 (spec.kind == RunKind::Read ? "read" : "write"));
    fs::create_directories(dir);
    const fs::path flash_file = dir / "device.flash";
    const fs::path image_file = dir / "update.bin";
    const std::size_t bytes = static_cast<std::size_t>(options.pages) * kPageSize;
    // A read dumps one image; a write programs a second one over it.
    const Bytes old_image = spec.blank
                                ? Bytes(kFlashSize, 0xFF)
                                : random_image(static_cast<std::uint32_t>(spec.seed * 2 + 1));
    const Bytes new_image = random_image(static_cast<std::uint32_t>(spec.seed * 2 + 2));
    if (!save(flash_file, old_image) ||
        (spec.kind == RunKind::Write && !save(image_file, new_image))) {
        result.error = "can't write the files in " + dir.string();
        return result;
    }

    std::string args = "--flash-file " + flash_file.string();
    if (spec.faulty) {
        args += " " + devsim_fault_args(options.faults, spec.seed);
    }
    std::FILE* trace_log = nullptr;
    const std::string log_stem = options.log_dir + "/run-" + std::to_string(spec.number);
    const std::string timing = devsim_timing_args(options.faults);
    if (!spec.faulty && !timing.empty()) args += " " + timing;  // the link, not a fault
    if (spec.faulty && !options.log_dir.empty()) {
        args += " --log 2>" + log_stem + ".devsim.log";
        trace_log = std::fopen((log_stem + ".trace").c_str(), "w");
    }
    std::string why;
    for (int attempt = 0; attempt < 3; ++attempt) {
        bench::DevsimProcess devsim(args);
        if (!devsim.listening()) {
            why = "kestrel-devsim did not start";
            continue;
        }
        SoakReporter reporter;
        std::string failure_trace;
        const TraceSink previous = set_trace_sink([&](std::string_view text) {
            // The first page-level reason; " program failed! " and the like follow it.
            if (failure_trace.empty() && text.find("failed:") != std::string_view::npos)
                failure_trace = text;
            if (trace_log != nullptr)
                std::fprintf(trace_log, "%.*s\n", static_cast<int>(text.size()), text.data());
        });
        // The erase pause and the erase wait's sleeps only count; the device is simulated.
        const SleepFunction previous_sleep = set_sleep_function([](std::uint32_t) {});
        open_link("127.0.0.1", devsim.port());
        (void)set_link_window(options.window);
        FlashRunOptions run_options;
        run_options.pages = options.pages;
        const LinkStats before = link_stats();
        const auto t0 = Clock::now();
        run_flash_worker([&] {
            if (spec.kind == RunKind::Read) {
                read_flash_to_file(dir, reporter, run_options);
            } else {
                int erase_wait = 0;
                write_flash_from_file(image_file.string(), dir, erase_wait, reporter, run_options);
            }
        });
        result.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        result.exchanges = link_stats_since(before, link_stats()).exchanges;
        result.pages = options.pages;
        close_link();
        set_sleep_function(previous_sleep);
        set_trace_sink(previous);
        result.faults = devsim.stop().faults;  // the simulator saves its flash file at exit
        if (trace_log != nullptr) std::fclose(trace_log);
        trace_log = nullptr;

        const Bytes device = load(flash_file);
        if (spec.kind == RunKind::Read) {
            result.reported_success = reporter.status == "Flash read finished!";
            result.bytes_equal = same_prefix(load(dir / kDumpFileName), device, bytes);
        } else {
            result.reported_success = reporter.status == "Flash write finished!";
            result.bytes_equal = same_prefix(device, new_image, bytes);
        }
        if (!result.reported_success) {
            result.message = reporter.boxes.empty() ? reporter.status : reporter.boxes;
            if (!failure_trace.empty()) result.message += " / " + failure_trace;
        }
        if (result.reported_success && !result.bytes_equal) {
            result.message = "files kept in " + dir.string();  // for the post-mortem
        } else {
            fs::remove_all(dir);
        }
        return result;
    }
    result.error = why;
    return result;
}

struct Child {
    pid_t pid = -1;
    int out = -1;
    RunSpec spec;
};

Child start(const RunSpec& spec, const SoakOptions& options, const fs::path& work) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const std::string line = encode_result(carry_out(spec, options, work)) + "\n";
        [[maybe_unused]] ssize_t n = write(fds[1], line.data(), line.size());
        _exit(0);
    }
    close(fds[1]);
    return Child{pid, fds[0], spec};
}

RunResult finish(Child& child) {
    std::string text;
    char buf[512];
    ssize_t got;
    while ((got = read(child.out, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<std::size_t>(got));
    close(child.out);
    int status = 0;
    waitpid(child.pid, &status, 0);
    if (auto r = decode_result(text)) return *r;
    RunResult r;
    r.kind = child.spec.kind;
    r.seed = child.spec.seed;
    r.error = "the run's process ended without a result (status " + std::to_string(status) + ")";
    return r;
}

// Runs the specs, at most `jobs` at a time, and hands each result over as it ends.
template <typename OnResult>
void run_all(const std::vector<RunSpec>& specs, const SoakOptions& options, const fs::path& work,
             int jobs, OnResult on_result) {
    std::map<pid_t, Child> running;
    std::size_t next = 0;
    while (next < specs.size() || !running.empty()) {
        while (next < specs.size() && static_cast<int>(running.size()) < jobs) {
            Child c = start(specs[next], options, work);
            if (c.pid < 0) {
                RunResult r;
                r.kind = specs[next].kind;
                r.error = "can't start a process";
                on_result(specs[next], r);
            } else {
                running[c.pid] = c;
            }
            ++next;
        }
        if (running.empty()) continue;
        // Wait for any run to end without reaping it; finish() reaps it after reading its pipe.
        siginfo_t info{};
        if (waitid(P_ALL, 0, &info, WEXITED | WNOWAIT) != 0) break;
        auto it = running.find(info.si_pid);
        if (it == running.end()) {
            waitpid(info.si_pid, nullptr, 0);
            continue;
        }
        const RunResult r = finish(it->second);
        const RunSpec spec = it->second.spec;
        running.erase(it);
        on_result(spec, r);
    }
}

bool exact(const RunResult& r) {
    return r.error.empty() && verdict_of(r.reported_success, r.bytes_equal) == Verdict::Exact;
}

// One clean read and one clean write first, for the time a fault costs; false when either was
// not exact (a fault-free run must be).
bool run_baselines(const SoakOptions& options, const fs::path& work,
                   std::optional<double>& clean_read, std::optional<double>& clean_write) {
    std::vector<RunSpec> clean;
    if (options.reads > 0) clean.push_back({0, RunKind::Read, options.seed, false, options.blank});
    if (options.writes > 0)
        clean.push_back({0, RunKind::Write, options.seed, false, options.blank});
    bool clean_ok = true;
    run_all(clean, options, work, 1, [&](const RunSpec& spec, const RunResult& r) {
        clean_ok = clean_ok && exact(r);
        std::printf("clean %s %s %.2f s%s\n", spec.kind == RunKind::Read ? "read" : "write",
                    exact(r) ? "exact" : "NOT EXACT", r.seconds, exchanges_text(r).c_str());
        std::fflush(stdout);
        (spec.kind == RunKind::Read ? clean_read : clean_write) = r.seconds;
    });
    return clean_ok;
}

// A fault-free read of a blank chip while `threads` busy threads load the machine (beside any
// --load already running): erased pages repeat, and slow replies are common on a loaded host.
bool run_blank_under_load(const SoakOptions& options, const fs::path& work, int threads) {
    const BusyLoad load(threads);
    bool ok = true;
    run_all({{0, RunKind::Read, options.seed, false, true}}, options, work, 1,
            [&](const RunSpec&, const RunResult& r) {
                ok = exact(r);
                std::printf("clean blank read under load %d %s %.2f s%s%s%s\n",
                            threads + options.load, ok ? "exact" : "NOT EXACT", r.seconds,
                            exchanges_text(r).c_str(), r.message.empty() ? "" : "  ",
                            r.message.c_str());
                std::fflush(stdout);
            });
    return ok;
}

// Reads and writes alternate, so that both meet the same state of the machine.
std::vector<RunSpec> faulty_runs(const SoakOptions& options) {
    std::vector<RunSpec> specs;
    int reads = 0, writes = 0, number = 0;
    while (reads < options.reads || writes < options.writes) {
        if (reads < options.reads) {
            ++number;
            specs.push_back({number, RunKind::Read,
                             options.seed + static_cast<std::uint64_t>(number), true,
                             options.blank});
            ++reads;
        }
        if (writes < options.writes) {
            ++number;
            specs.push_back({number, RunKind::Write,
                             options.seed + static_cast<std::uint64_t>(number), true,
                             options.blank});
            ++writes;
        }
    }
    return specs;
}

}  // namespace

int main(int argc, char** argv) {
    const Parsed parsed = parse_soak_args(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.help) {
        std::fputs(kSoakUsage, stdout);
        return 0;
    }
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "kestrel-soak: %s (see --help)\n", parsed.error.c_str());
        return 2;
    }
    const SoakOptions& options = parsed.options;
    set_trace_sink([](std::string_view) {});
    std::string pattern = (fs::temp_directory_path() / "kestrel-soak-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("kestrel-soak: mkdtemp");
        return 2;
    }
    const fs::path work = pattern;
    std::error_code made;
    if (!options.log_dir.empty() && (fs::create_directories(options.log_dir, made), made)) {
        std::fprintf(stderr, "kestrel-soak: cannot make %s: %s\n", options.log_dir.c_str(),
                     made.message().c_str());
        fs::remove_all(work);
        return 2;
    }

    std::printf(
        "kestrel-soak: %d reads and %d writes of %d pages, %d at a time, load %d; "
        "faults: %s\n",
        options.reads, options.writes, options.pages, options.jobs, options.load,
        devsim_fault_args(options.faults, options.seed).c_str());
    std::fflush(stdout);
    const BusyLoad load(options.load);

    std::optional<double> clean_read, clean_write;
    bool clean_ok = !options.baseline || run_baselines(options, work, clean_read, clean_write);
    if (clean_ok && options.quick)
        clean_ok = run_blank_under_load(options, work, options.load_given ? 0 : kQuickLoadThreads);
    if (!clean_ok) {
        std::fprintf(stderr, "kestrel-soak: a run without faults was not exact\n");
        fs::remove_all(work);
        return 1;
    }

    const std::vector<RunSpec> specs = faulty_runs(options);
    std::vector<RunResult> results;
    run_all(specs, options, work, options.jobs, [&](const RunSpec& spec, const RunResult& r) {
        std::printf("%s\n", run_line(spec.number, r).c_str());
        std::fflush(stdout);
        results.push_back(r);
    });
    std::printf("%s\n", summary_line(results, clean_read, clean_write).c_str());
    const bool false_success = count(results).false_successes > 0;
    if (!false_success) fs::remove_all(work);
    return false_success ? 1 : 0;
}
