// One kestrelctl command's run: the global options, the device connection, the output (human
// lines on stdout, or one JSON object with --json), the progress view on stderr and the link's
// figures for the closing summary. Used on the main thread only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli/endpoint.h"
#include "cli/json.h"
#include "cli/progress.h"
#include "cli/recovery_summary.h"
#include "flash/core/flash_job.h"
#include "flash/core/recovery_stats.h"
#include "link/transport.h"
#include "link/window_setting.h"
#include "platform/sleep.h"
#include "platform/status.h"

namespace kestrel::cli {

struct CliStreams {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    bool err_is_terminal = false;
};

struct GlobalOptions {
    std::string device_text;  // from --device or KESTREL_DEVICE; empty when neither
    bool json = false;
    ProgressMode progress = ProgressMode::Auto;
    std::string trace_file;
    bool verbose = false;
    WindowSetting window;  // from --window or KESTREL_WINDOW; off when neither
};

inline constexpr double kConnectBudgetS = 3.0;

class Session {
  public:
    // Installs the run's sleep function (slices that redraw the progress bar and end early on a
    // second Ctrl-C) until the session ends.
    Session(const GlobalOptions& options, const CliStreams& io, std::string command);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The device endpoint, checked; reports a usage error (and gives nullopt) when it is
    // missing or malformed. Sends nothing.
    std::optional<Endpoint> device();

    // Opens the link to the device and shakes hands, retrying for up to 3 s. kExitOk, or the
    // failure reported and kExitNoDevice (kExitUsage for a bad device argument).
    [[nodiscard]] int connect();

    // A human line on stdout (not shown with --json).
    void say(const std::string& line);
    // The command's result fields for --json.
    JsonObject& json() { return json_; }

    // Records the failure for the output and gives code back.
    int fail(int code, const std::string& message);
    // Records a failed Status with the exit code for its kind (cli/status_exit.h).
    int fail(const Status& status);

    // The pages a stage really handled (programmed, verified), for its rate in the summary;
    // without it a stage counts the pages its progress went through.
    void set_stage_pages(FlashStage stage, int pages);

    // Bytes moved by the command, for the summary's rate.
    void count_bytes(std::uint64_t bytes) { bytes_ += bytes; }

    // A check finish() makes last: a non-empty text is a failure found after the fact (the
    // trace could not be written); it turns success into kExitFile and is said once.
    void watch_late_failure(std::function<std::string()> check) {
        late_failure_ = std::move(check);
    }

    // Ends the command: the summary (human) or the JSON object, then code.
    int finish(int code);

    // Progress on stderr and the Ctrl-C checks, for a flash job.
    FlashJobHooks hooks();
    ProgressView& progress() { return progress_; }

    bool json_mode() const { return options_.json; }
    const CliStreams& io() const { return io_; }

  private:
    GlobalOptions options_;
    CliStreams io_;
    std::string command_;
    JsonObject json_;
    ProgressView progress_;
    std::optional<Endpoint> device_;
    std::string error_;
    LinkStats stats_at_start_;
    RecoveryStats recovery_at_start_;
    double start_s_ = 0;
    std::uint64_t bytes_ = 0;
    bool linked_ = false;
    // Each flash stage's time and pages, in the order the stages first ran, for the summary;
    // a stage run again (a second erase pass) adds to its span.
    struct StageSpan {
        FlashStage stage = FlashStage::Read;
        double earlier_s = 0;  // time of the stage's earlier runs
        double start_s = 0;    // this run's
        double end_s = 0;
        int pages = 0;
        double seconds() const { return earlier_s + end_s - start_s; }
        // The pages' KiB over the stage's seconds; 0 before any time has passed.
        double rate_kib_s() const;
    };
    StageSpan* active_stage_ = nullptr;
    void note_stage(FlashStage stage, int done);
    // Once, at the first Ctrl-C during the erase: what happens next.
    void notice_interrupt();
    std::string stages_text() const;
    // A failure found after the command's result (a file that could not be kept): the code.
    int take_late_failure(int code);
    // The command's one JSON object, or its final line, on the streams.
    void write_json(int code, double seconds, const LinkStats& now, const RecoveryCost& cost);
    void write_text(int code, double seconds, const LinkStats& now, const RecoveryCost& cost);
    std::vector<StageSpan> stages_;
    bool erase_notice_given_ = false;
    SleepFunction previous_sleep_;
    std::function<std::string()> late_failure_;
    std::uint64_t waited_ms_ = 0;  // fixed waits slept (erase pause, polls, handshake gaps)
};

}  // namespace kestrel::cli
