// Progress of a flash job on stderr: on a terminal one bar redrawn in place (stage, percent,
// rate in KiB/s, ETA), otherwise a plain line at each stage's start and end and every few
// seconds between. Called from the job's thread only.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "flash/core/flash_job.h"

namespace kestrel::cli {

// Json: one object per line, for a program that runs kestrelctl (the batch runner):
// {"stage":"program","done":10,"total":6144,"percent":0,"rate_kib_s":12.5,"eta_s":40}.
enum class ProgressMode { Auto, Bar, Lines, None, Json };

// "auto", "bar", "lines", "none", "json"; false for anything else.
bool parse_progress_mode(const std::string& text, ProgressMode& mode);

class ProgressView {
  public:
    using Clock = std::function<double()>;  // seconds, monotonic

    // Auto becomes Bar when stream_is_terminal, else Lines.
    ProgressView(std::FILE* stream, ProgressMode mode, bool stream_is_terminal, Clock clock = {});

    // A report from the job (see FlashJobHooks::progress).
    void update(FlashStage stage, int done, int total);
    // A step without pages (Json mode only): {"stage":"mac"}.
    void step(const std::string& name);
    // Redraws a bar between reports (the erase pause sends none for 13 s).
    void tick();
    // Ends the bar's line; the next output starts on a fresh line.
    void finish();

    // The lines-mode interval.
    static constexpr double kLineIntervalS = 3.0;
    static constexpr double kJsonIntervalS = 0.5;

  private:
    void draw(bool force_line);
    std::string text() const;

    std::FILE* stream_;
    ProgressMode mode_;
    Clock clock_;
    FlashStage stage_ = FlashStage::Read;
    int done_ = 0;
    int total_ = 0;
    bool active_ = false;
    bool bar_drawn_ = false;
    double stage_start_ = 0;
    double last_line_ = 0;
};

}  // namespace kestrel::cli
