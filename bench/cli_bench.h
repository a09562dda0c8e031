// kestrelctl and kestrelctl batch measured as a user runs them: the real executable against
// kestrel-devsim processes, with the figures kestrelctl itself reports in its JSON.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kestrel::bench {

struct CliRun {
    double seconds = 0;  // wall time of the process
    double waits_s = 0;  // the fixed waits it slept (erase pause and polls)
    std::uint64_t exchanges = 0;
    double cpu_s = 0;  // user + system time of the process and its children
    bool ok = false;   // exit status 0
};

// Runs kestrelctl with args (--json is added) and reads its last JSON line.
CliRun run_kestrelctl(const std::vector<std::string>& args);

struct BatchScale {
    int units = 0;
    double seconds = 0;
    std::uint64_t exchanges = 0;  // all units, from the report
    double cpu_s = 0;             // the batch and its unit processes
    double waits_s = 0;           // the longest unit's fixed waits
    bool ok = false;
    double exchanges_per_s() const { return seconds > 0 ? exchanges / seconds : 0; }
    double busy_exchanges_per_s() const {
        return seconds - waits_s > 0 ? exchanges / (seconds - waits_s) : 0;
    }
    double cpu_us_per_exchange() const { return exchanges ? cpu_s * 1e6 / exchanges : 0; }
};

// A batch of `units` units, each writing (and verifying) a `pages`-page image to its own
// kestrel-devsim started with `devsim_args`.
BatchScale measure_batch(int units, int pages, const std::string& devsim_args,
                         const std::string& work_dir);

// kestrel-bench --cli: the command-line rows, work files in dir.
int cli_rows_main(int argc, char** argv, const std::filesystem::path& dir);

}  // namespace kestrel::bench
