// Whole-chip transfers against a device on loopback, through the core procedures and through
// the update dialog.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace kestrel::bench {

struct FlashRun {
    double seconds = 0;         // wall time of the procedure
    double fixed_wait_s = 0;    // time inside the procedure's fixed sleeps (erase pause, polls)
    double skipped_wait_s = 0;  // fixed sleeps counted but not slept (quick mode)
    std::uint64_t exchanges = 0;
    double in_exchanges_s = 0;  // of `seconds`, the time spent inside register exchanges
    long peak_rss_kib = 0;      // of a child process that ran only this procedure
    bool ok = false;            // the procedure ended with its success text
};

// Runs in this process. pages < 16384 shortens the run (quick mode); fixed waits are slept for
// real unless skip_waits, in which case they are counted but not spent.
FlashRun run_flash_read(std::uint16_t device_port, const std::filesystem::path& dir, int pages);
FlashRun run_flash_write(std::uint16_t device_port, const std::filesystem::path& image,
                         const std::filesystem::path& dir, int pages, bool skip_waits);

// The same, in a child process (this executable re-run with --child), to measure its peak
// resident memory apart from the rest of the benchmark.
FlashRun run_in_child(const char* self, const char* what, std::uint16_t device_port,
                      const std::filesystem::path& path, const std::filesystem::path& dir,
                      int pages, bool skip_waits);

// Entry for --child: runs the procedure and prints its FlashRun on stdout.
int child_main(int argc, char** argv);

// The line a child prints, and its parsing in the parent.
void print_run(const FlashRun& run);
bool parse_run(const std::string& text, FlashRun& run);

}  // namespace kestrel::bench
