// What a front end that runs a whole flash job (a command line, a batch) hands the job: where
// to report progress and how to ask it to stop. The job calls both on its own thread.
#pragma once

#include <functional>

namespace kestrel {

enum class FlashStage { Erase, Program, Verify, Read };

// "erase", "program", "verify", "read".
const char* flash_stage_name(FlashStage stage);

struct FlashJobHooks {
    // done of total units of the stage (pages; for the erase, seconds of its wait). Called at
    // the start of each stage with done = 0 and after every page. May be empty.
    std::function<void(FlashStage stage, int done, int total)> progress;
    // Polled between pages and between the erase wait's polls: true stops the job at that safe
    // point. May be empty (never stop).
    std::function<bool()> stop_requested;
    // Polled right after every sleep of the erase: true stops the job at once, the erase still
    // under way. May be empty.
    std::function<bool()> stop_now;

    void report(FlashStage stage, int done, int total) const {
        if (progress) progress(stage, done, total);
    }
    bool should_stop() const { return stop_requested && stop_requested(); }
    bool must_stop_now() const { return stop_now && stop_now(); }
};

}  // namespace kestrel
