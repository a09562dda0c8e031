// Runs a checked plan: one kestrelctl child process per unit ("kestrelctl ... unit ..."), at most
// `jobs` at once, a live view on stderr, a JSON Lines report line per unit written and synced as
// the unit finishes, and a CSV summary beside the report. MAC addresses for "auto" come from
// the range's state file, taken just before the unit starts. Main thread only.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/batch_plan.h"
#include "cli/mac_pool.h"
#include "cli/session.h"

#include "platform/status.h"

namespace kestrel::cli {

inline constexpr int kDefaultMaxJobs = 16;

struct BatchOptions {
    int jobs = 0;  // 0: every unit at once, at most kDefaultMaxJobs
    std::string report = "batch-report.jsonl";
    std::optional<MacRange> mac_range;
    std::string mac_state = "kestrel-macs.state";
    std::string log_dir = "batch-logs";
    std::string child_program;  // the kestrelctl to run per unit; empty: this executable
};

struct BatchOutcome {
    int units = 0;
    int ok = 0;
    std::vector<std::string> failed;  // labels
    bool interrupted = false;
};

// Runs every unit; FileError when the run could not start (the log directory can't be made or
// the report can't be opened).
[[nodiscard]] Result<BatchOutcome> run_batch(const std::vector<UnitPlan>& units,
                                             const BatchOptions& options, const CliStreams& io);

// The trace file a unit's child writes: LOG_DIR/LABEL.log.
std::string unit_log_path(const BatchOptions& options, const UnitPlan& unit);

// The CSV summary's path beside the report: "x.jsonl" gives "x.csv", anything else gets ".csv".
std::string summary_path(const std::string& report);

}  // namespace kestrel::cli
