#include "flash_bench.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "flash/core/flash_procedures.h"
#include "flash/core/flash_worker.h"
#include "link/transport.h"
#include "platform/sleep.h"
#include "platform/trace.h"

namespace kestrel::bench {
namespace {

using Clock = std::chrono::steady_clock;

// Remembers the last status text, and treats every message box as closed at once.
class QuietReporter : public FlashReporter {
  public:
    void set_status(std::string_view text) override { status = text; }
    void set_progress(int) override {}
    void message_box(std::string_view text) override { boxes += std::string(text) + "; "; }
    std::string status;
    std::string boxes;
};

// Sleeps (or not) and adds up the time the procedure spends in its fixed waits.
class WaitMeter {
  public:
    explicit WaitMeter(bool skip) : skip_(skip) {
        previous_ = set_sleep_function([this](std::uint32_t ms) {
            const auto t0 = Clock::now();
            if (!skip_) usleep(ms * 1000u);
            waited_ += std::chrono::duration<double>(Clock::now() - t0).count();
            counted_ += ms / 1000.0;
        });
    }
    ~WaitMeter() { set_sleep_function(std::move(previous_)); }
    double waited() const { return waited_; }
    double skipped() const { return skip_ ? counted_ : 0.0; }

  private:
    SleepFunction previous_;
    bool skip_ = false;
    double waited_ = 0;
    double counted_ = 0;
};

template <typename Fn>
FlashRun timed(std::uint16_t device_port, bool skip_waits, const char* success, Fn procedure) {
    open_link("127.0.0.1", device_port);
    QuietReporter reporter;
    WaitMeter waits(skip_waits);
    const LinkStats before = link_stats();
    const auto t0 = Clock::now();
    run_flash_worker([&] { procedure(reporter); });
    FlashRun run;
    run.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    run.fixed_wait_s = waits.waited();
    run.skipped_wait_s = waits.skipped();
    const LinkStats after = link_stats();
    run.exchanges = after.exchanges - before.exchanges;
    run.in_exchanges_s = static_cast<double>(after.exchange_ns - before.exchange_ns) / 1e9;
    run.ok = reporter.status == success;
    if (!run.ok) {
        std::fprintf(stderr, "kestrel-bench: status \"%s\", boxes: %s\n", reporter.status.c_str(),
                     reporter.boxes.c_str());
    }
    close_link();
    return run;
}

}  // namespace

FlashRun run_flash_read(std::uint16_t device_port, const std::filesystem::path& dir, int pages) {
    FlashRunOptions options;
    options.pages = pages;
    return timed(device_port, false, "Flash read finished!",
                 [&](FlashReporter& r) { read_flash_to_file(dir, r, options); });
}

FlashRun run_flash_write(std::uint16_t device_port, const std::filesystem::path& image,
                         const std::filesystem::path& dir, int pages, bool skip_waits) {
    FlashRunOptions options;
    options.pages = pages;
    int erase_wait = 0;
    return timed(device_port, skip_waits, "Flash write finished!", [&](FlashReporter& r) {
        write_flash_from_file(image.string(), dir, erase_wait, r, options);
    });
}

FlashRun run_in_child(const char* self, const char* what, std::uint16_t device_port,
                      const std::filesystem::path& path, const std::filesystem::path& dir,
                      int pages, bool skip_waits) {
    int out[2];
    if (pipe(out) != 0) return {};
    const std::string port = std::to_string(device_port);
    const std::string page_count = std::to_string(pages);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execl(self, self, "--child", what, port.c_str(), path.c_str(), dir.c_str(),
              page_count.c_str(), skip_waits ? "skip" : "wait", nullptr);
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[256];
    ssize_t got;
    while ((got = read(out[0], buf, sizeof buf)) > 0)
        text.append(buf, static_cast<std::size_t>(got));
    close(out[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    FlashRun run;
    parse_run(text, run);
    run.peak_rss_kib = usage.ru_maxrss;
    return run;
}

void print_run(const FlashRun& run) {
    std::printf("%f %f %f %llu %f %d\n", run.seconds, run.fixed_wait_s, run.skipped_wait_s,
                static_cast<unsigned long long>(run.exchanges), run.in_exchanges_s, run.ok ? 1 : 0);
}

bool parse_run(const std::string& text, FlashRun& run) {
    int ok = 0;
    unsigned long long exchanges = 0;
    if (std::sscanf(text.c_str(), "%lf %lf %lf %llu %lf %d", &run.seconds, &run.fixed_wait_s,
                    &run.skipped_wait_s, &exchanges, &run.in_exchanges_s, &ok) != 6) {
        return false;
    }
    run.exchanges = exchanges;
    run.ok = ok != 0;
    return true;
}

int child_main(int argc, char** argv) {
    // kestrel-bench --child read|write PORT PATH DIR PAGES skip|wait
    if (argc != 8) return 2;
    set_trace_sink([](std::string_view) {});
    const std::string_view what = argv[2];
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[3]));
    const int pages = std::atoi(argv[6]);
    const bool skip = std::strcmp(argv[7], "skip") == 0;
    const FlashRun run = what == "read" ? run_flash_read(port, argv[5], pages)
                                        : run_flash_write(port, argv[4], argv[5], pages, skip);
    print_run(run);
    return run.ok ? 0 : 1;
}

}  // namespace kestrel::bench
