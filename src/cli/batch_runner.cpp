#include "cli/batch_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "cli/batch_child.h"
#include "cli/batch_report.h"
#include "cli/batch_view.h"
#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "platform/regular_file.h"

namespace kestrel::cli {
namespace {

constexpr int kPollEvery_ms = 200;

std::string self_executable() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string("kestrelctl");
}

// The children's streams poll watches, and for each its unit and whether it is stdout.
struct Watched {
    std::vector<pollfd> fds;
    std::vector<std::pair<BatchUnit*, bool>> who;
};

// One batch from its first child to its last: units are started up to `jobs` at once, their
// streams read, their ends reaped and reported.
class BatchRun {
  public:
    BatchRun(const std::vector<UnitPlan>& plans, const BatchOptions& options, const CliStreams& io,
             int report_fd, BatchOutcome& outcome)
        : options_(options),
          io_(io),
          report_fd_(report_fd),
          outcome_(outcome),
          program_(options.child_program.empty() ? self_executable() : options.child_program),
          jobs_(options.jobs > 0 ? options.jobs
                                 : std::min<int>(kDefaultMaxJobs, static_cast<int>(plans.size()))),
          units_(plans.size()),
          view_(io.err, io.err_is_terminal) {
        for (std::size_t i = 0; i < plans.size(); ++i)
            units_[i].plan = &plans[i];
    }

    void run() {
        while (next_ < units_.size() || running_ > 0) {
            if (interrupt_count() > 0) outcome_.interrupted = true;
            start_due();
            const Watched watched = watch();
            read_children(watched);
            reap_ended();
            view_.draw(units_, false);
            if (watched.fds.empty() && running_ == 0 &&
                (outcome_.interrupted || next_ >= units_.size()))
                break;
        }
        view_.draw(units_, true);
    }

  private:
    // Starts units while there is room and no interrupt; one whose MAC or start fails ends at
    // once.
    void start_due() {
        while (!outcome_.interrupted && running_ < jobs_ && next_ < units_.size()) {
            BatchUnit& u = units_[next_++];
            u.started = batch_now_s();
            if (u.plan->mac == "auto") {
                const Result<Mac48> take = take_mac(options_.mac_state, *options_.mac_range);
                if (!take) {
                    end_unit(u, kExitUsage, take.reason());
                    continue;
                }
                u.mac = mac_text(*take);
            } else {
                u.mac = u.plan->mac;
            }
            const Status spawned = spawn_child(u, program_, child_args(*u.plan, u.mac, options_));
            if (!spawned.ok()) {
                end_unit(u, kExitFile, spawned.reason());
                continue;
            }
            u.stage = "starting";
            view_.stage(u);
            ++running_;
        }
    }

    Watched watch() {
        Watched w;
        for (auto& u : units_) {
            if (u.pid < 0 || u.done) continue;
            if (u.out_fd >= 0) {
                w.fds.push_back({u.out_fd, POLLIN, 0});
                w.who.emplace_back(&u, true);
            }
            if (u.err_fd >= 0) {
                w.fds.push_back({u.err_fd, POLLIN, 0});
                w.who.emplace_back(&u, false);
            }
        }
        return w;
    }

    void read_children(Watched w) {
        if (!w.fds.empty()) ::poll(w.fds.data(), w.fds.size(), kPollEvery_ms);
        for (std::size_t i = 0; i < w.fds.size(); ++i) {
            if (!w.fds[i].revents) continue;
            BatchUnit& u = *w.who[i].first;
            const bool out = w.who[i].second;
            const std::string before = u.stage;
            pump_child(u, out ? w.fds[i].revents : 0, out ? 0 : w.fds[i].revents);
            if (u.stage != before) view_.stage(u);
        }
    }

    // Reaps every child whose streams have both closed.
    void reap_ended() {
        for (auto& u : units_) {
            if (u.pid < 0 || u.done || u.out_fd >= 0 || u.err_fd >= 0) continue;
            reap_child(u);
            --running_;
            finish_unit(u);
        }
    }

    void end_unit(BatchUnit& u, int exit_code, std::string error) {
        u.exit_code = exit_code;
        u.error = std::move(error);
        finish_unit(u);
    }

    // The unit's report line (written and synced), the summary, the tally and the view.
    void finish_unit(BatchUnit& u) {
        u.done = true;
        u.stage = u.ok() ? "done" : "failed";
        make_report_line(u);
        const std::string line = u.report_line + "\n";
        if (::write(report_fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
            ::fsync(report_fd_) != 0) {
            std::fprintf(io_.err, "kestrelctl batch: can't write the report: %s\n",
                         std::strerror(errno));
        }
        if (const Status summary = write_summary(summary_path(options_.report), units_);
            !summary.ok()) {
            std::fprintf(io_.err, "kestrelctl batch: can't write the summary: %s\n",
                         summary.reason().c_str());
        }
        if (u.ok())
            ++outcome_.ok;
        else
            outcome_.failed.push_back(u.plan->label);
        view_.finished(u);
    }

    const BatchOptions& options_;
    const CliStreams& io_;
    const int report_fd_;
    BatchOutcome& outcome_;
    const std::string program_;
    const int jobs_;
    std::vector<BatchUnit> units_;
    BatchView view_;
    std::size_t next_ = 0;
    int running_ = 0;
};

}  // namespace

std::string unit_log_path(const BatchOptions& options, const UnitPlan& unit) {
    return options.log_dir + "/" + unit.label + ".log";
}

std::string summary_path(const std::string& report) {
    const std::string ext = ".jsonl";
    if (report.size() > ext.size() &&
        report.compare(report.size() - ext.size(), ext.size(), ext) == 0) {
        return report.substr(0, report.size() - ext.size()) + ".csv";
    }
    return report + ".csv";
}

Result<BatchOutcome> run_batch(const std::vector<UnitPlan>& plans, const BatchOptions& options,
                               const CliStreams& io) {
    if (::mkdir(options.log_dir.c_str(), 0755) != 0 && errno != EEXIST) {
        return Status::failure(StatusCode::FileError,
                               "can't create \"" + options.log_dir + "\": " + std::strerror(errno));
    }
    const RegularFd report = open_regular_file(options.report, O_WRONLY | O_CREAT | O_APPEND);
    if (!report.ok()) return Status::failure(StatusCode::FileError, "the report: " + report.reason);
    BatchOutcome outcome;
    outcome.units = static_cast<int>(plans.size());
    BatchRun(plans, options, io, report.fd, outcome).run();
    return outcome;
}

}  // namespace kestrel::cli
