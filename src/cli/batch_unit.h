// One unit of a batch while it runs: its child process, what the child has said, and how it
// ended. Main thread only; the runner owns the units, a unit its pipe ends until they close.
#pragma once

#include <sys/types.h>

#include <string>

#include "cli/batch_plan.h"
#include "cli/exit_codes.h"
#include "platform/ticks.h"

namespace kestrel::cli {

struct BatchUnit {
    const UnitPlan* plan = nullptr;
    std::string mac;  // the address given to the child, when the plan asks for one
    pid_t pid = -1;
    int out_fd = -1;
    int err_fd = -1;
    std::string out, err_line;
    std::string stage = "waiting";
    int percent = -1;
    double rate = 0;
    double eta = -1;
    double started = 0;
    double seconds = 0;
    bool done = false;
    int exit_code = -1;
    std::string result_json;  // the child's last stdout line
    std::string report_line;
    std::string error;
    bool ok() const { return exit_code == kExitOk; }
};

// Seconds on the monotonic clock, for the units' times and the live view's pace.
inline double batch_now_s() {
    return static_cast<double>(monotonic_us()) / 1e6;
}

}  // namespace kestrel::cli
