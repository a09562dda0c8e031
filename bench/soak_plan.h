// kestrel-soak's plan and verdicts, apart from the processes that carry them out: the options,
// the simulator arguments of a run's fault mix, the verdict of one run and the lines printed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link/window_setting.h"
#include "sim/faults.h"

namespace kestrel::soak {

// The fault mix and link timing, probabilities per exchange (0..1): the simulator's own
// settings, with the soak's defaults (see soak_fault_mix).
using FaultMix = sim::LinkFaults;

// Each fault kind at 0.001 (duplicated requests too), late replies 60 to 1000 ms of which half
// are released by the next request, duplicates 200 us apart.
FaultMix soak_fault_mix();

struct SoakOptions {
    int reads = 20;
    int writes = 20;
    int pages = 16384;
    int jobs = 1;
    std::uint64_t seed = 1;
    bool blank = false;    // every faulty run starts from an erased chip
    WindowSetting window;  // requests in flight in the runs' page reads (off: one at a time)
    bool baseline = true;  // one clean read and one clean write first, for the time lost
    // When set, each faulty run leaves the simulator's exchange log and the tool's trace here
    // (run-N.devsim.log, run-N.trace), for hunting a failure down.
    std::string log_dir;
    // Busy threads beside the runs, each spinning for the whole soak (a loaded machine).
    int load = 0;
    bool load_given = false;
    bool quick = false;  // --quick: also a clean blank-chip read under load
    FaultMix faults = soak_fault_mix();
};

// Parses kestrel-soak's arguments (argv[0] excluded). On error returns the message; --help
// sets help and succeeds.
struct Parsed {
    SoakOptions options;
    bool help = false;
    std::string error;  // empty on success
};
Parsed parse_soak_args(const std::vector<std::string>& args);

extern const char* const kSoakUsage;

// kestrel-devsim's fault arguments for one run, drawn from `seed`, then its link timing.
std::string devsim_fault_args(const FaultMix& faults, std::uint64_t seed);
// The link timing alone (jitter, delays, receive queue), for a clean run: "" when none.
std::string devsim_timing_args(const FaultMix& faults);

enum class RunKind { Read, Write };
enum class Verdict { Exact, Failed, FalseSuccess };

// "exact": the procedure reported success and the bytes are equal; "failed": it reported a
// failure, whatever the bytes; FALSE SUCCESS: it reported success over bytes that differ.
Verdict verdict_of(bool reported_success, bool bytes_equal);

struct RunResult {
    RunKind kind = RunKind::Read;
    bool reported_success = false;
    bool bytes_equal = false;
    std::string message;  // what the procedure showed when it did not succeed
    double seconds = 0;
    std::uint64_t faults = 0;  // injected by the simulator during the run
    std::uint64_t seed = 0;
    std::uint64_t exchanges = 0;  // register exchanges the tool sent, probes included
    int pages = 0;                // pages the run covered
    std::string error;            // the run could not be carried out (no simulator, no files)
};

// " 1064960 exchanges (65.0 a page)", or empty when the run counted none.
std::string exchanges_text(const RunResult& run);

// `run N read|write exact|failed "<message>"|FALSE SUCCESS <seconds> s`, then the faults
// injected and the seed.
std::string run_line(int number, const RunResult& run);

struct Totals {
    int runs = 0;
    int exact = 0;
    int failed = 0;
    int false_successes = 0;
    int errors = 0;
};
Totals count(const std::vector<RunResult>& runs);

// Mean time a fault cost a run of `kind` that came out exact, against a clean run of the same
// kind: (mean time - clean time) / mean faults, in ms. None without exact faulty runs.
std::optional<double> ms_lost_per_fault(const std::vector<RunResult>& runs, RunKind kind,
                                        double clean_seconds);

std::string summary_line(const std::vector<RunResult>& runs, std::optional<double> clean_read_s,
                         std::optional<double> clean_write_s);

// The line a run's process hands to the parent, and its parsing.
std::string encode_result(const RunResult& run);
std::optional<RunResult> decode_result(const std::string& line);

}  // namespace kestrel::soak
