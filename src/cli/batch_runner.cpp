#include "cli/batch_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>

#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "cli/json.h"
#include "platform/atomic_file.h"
#include "platform/regular_file.h"

extern char** environ;

namespace kestrel::cli {
namespace {

double now_s() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string self_executable() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string("kestrelctl");
}

struct Unit {
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
};

std::vector<std::string> child_args(const Unit& u, const BatchOptions& options) {
    const UnitPlan& p = *u.plan;
    std::vector<std::string> a = {
        "kestrelctl", "--device", p.device.text(), "--json",
        "--progress", "json",     "--trace",       unit_log_path(options, p),
        "unit",       "--label",  p.label};
    const auto opt = [&a](const char* name, const std::string& value) {
        if (!value.empty()) {
            a.push_back(name);
            a.push_back(value);
        }
    };
    opt("--image", p.image);
    opt("--mac", u.mac);
    opt("--ts-port", p.ts_port);
    opt("--multicast-ip", p.multicast_ip);
    opt("--multicast", p.multicast);
    opt("--new-ip", p.new_ip);
    if (p.reset) a.push_back("--reset");
    return a;
}

bool spawn(Unit& u, const std::string& program, const std::vector<std::string>& args,
           std::string& error) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return false;
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        ::close(out[0]);
        ::close(out[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (const auto& s : args)
        argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&u.pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        error = "can't start \"" + program + "\": " + std::strerror(rc);
        ::close(out[0]);
        ::close(err[0]);
        u.pid = -1;
        return false;
    }
    u.out_fd = out[0];
    u.err_fd = err[0];
    return true;
}

// One progress object from the child's stderr.
void take_progress(Unit& u, const std::string& line) {
    if (line.empty() || line[0] != '{') return;
    if (const auto stage = json_field(line, "stage")) {
        if (*stage != u.stage) u.percent = -1;
        u.stage = *stage;
    }
    if (const auto p = json_field(line, "percent")) u.percent = std::atoi(p->c_str());
    if (const auto r = json_field(line, "rate_kib_s")) u.rate = std::atof(r->c_str());
    if (const auto e = json_field(line, "eta_s")) u.eta = std::atof(e->c_str());
}

// Reads what the child wrote; false at the end of both streams.
bool pump(Unit& u, short revents_out, short revents_err) {
    char buf[4096];
    if (u.out_fd >= 0 && revents_out) {
        const ssize_t n = ::read(u.out_fd, buf, sizeof buf);
        if (n > 0) {
            u.out.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            ::close(u.out_fd);
            u.out_fd = -1;
        }
    }
    if (u.err_fd >= 0 && revents_err) {
        const ssize_t n = ::read(u.err_fd, buf, sizeof buf);
        if (n > 0) {
            u.err_line.append(buf, static_cast<std::size_t>(n));
            for (std::size_t nl; (nl = u.err_line.find('\n')) != std::string::npos;) {
                take_progress(u, u.err_line.substr(0, nl));
                u.err_line.erase(0, nl + 1);
            }
        } else if (n == 0 || errno != EINTR) {
            ::close(u.err_fd);
            u.err_fd = -1;
        }
    }
    return u.out_fd >= 0 || u.err_fd >= 0;
}

std::string field(const std::string& json, const char* key) {
    return json_field(json, key).value_or("");
}

std::int64_t number(const std::string& json, const char* key) {
    const std::string v = field(json, key);
    return v.empty() || v == "null" ? 0 : std::atoll(v.c_str());
}

void make_report_line(Unit& u) {
    const std::string& j = u.result_json;
    const bool ok = u.exit_code == 0;
    if (u.error.empty() && !ok) {
        u.error = field(j, "error");
        if (u.error.empty())
            u.error =
                "kestrelctl ended without a result (exit " + std::to_string(u.exit_code) + ")";
    }
    JsonObject o;
    o.add("label", u.plan->label)
        .add("device", u.plan->device.text())
        .add("result", ok ? "ok" : "failed")
        .add("mac", field(j, "mac"))
        .add("mac_before", field(j, "mac_before"))
        .add("flash_id", field(j, "flash_id"))
        .add("image_sha256", field(j, "image_sha256"))
        .add("pages_programmed", number(j, "pages_programmed"))
        .add("pages_verified", number(j, "pages_verified"))
        .add("seconds", u.seconds)
        .add("exchanges", number(j, "exchanges"))
        .add("faults_recovered", number(j, "faults_recovered"))
        .add("exit_code", u.exit_code)
        .add("error", ok ? std::string() : u.error);
    if (!u.mac.empty()) o.add("mac_assigned", u.mac);
    u.report_line = o.str();
}

std::string csv_cell(const std::string& s) {
    if (s.find_first_of(",\"\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

void write_summary(const std::string& path, const std::vector<Unit>& units) {
    std::ostringstream csv;
    csv << "label,device,result,mac,exit_code,seconds,error\n";
    for (const auto& u : units) {
        if (!u.done) continue;
        char secs[32];
        std::snprintf(secs, sizeof secs, "%.1f", u.seconds);
        csv << csv_cell(u.plan->label) << ',' << u.plan->device.text() << ','
            << (u.exit_code == 0 ? "ok" : "failed") << ',' << field(u.result_json, "mac") << ','
            << u.exit_code << ',' << secs << ',' << csv_cell(u.exit_code == 0 ? "" : u.error)
            << '\n';
    }
    const std::string body = csv.str();
    AtomicFile file(path);
    if (file.ok()) {
        (void)file.write({reinterpret_cast<const std::uint8_t*>(body.data()), body.size()});
        (void)file.commit();
    }
}

class LiveView {
  public:
    LiveView(std::FILE* err, bool terminal) : err_(err), terminal_(terminal) {}

    void draw(const std::vector<Unit>& units, bool force) {
        if (!terminal_) return;
        const double now = now_s();
        if (!force && now - last_ < 0.2) return;
        last_ = now;
        if (drawn_ > 0) std::fprintf(err_, "\x1b[%dA", drawn_);
        for (const auto& u : units) {
            std::string state;
            char buf[96];
            if (u.done) {
                state = u.exit_code == 0 ? "ok" : "FAILED: " + u.error;
            } else if (u.percent >= 0) {
                std::snprintf(
                    buf, sizeof buf, "%3d%% %8.1f KiB/s ETA %s", u.percent, u.rate,
                    u.eta >= 0 ? (std::to_string(static_cast<int>(u.eta)) + " s").c_str() : "-");
                state = buf;
            }
            std::fprintf(err_, "\r%-16.16s %-8.8s %s\x1b[K\n", u.plan->label.c_str(),
                         u.stage.c_str(), state.c_str());
        }
        drawn_ = static_cast<int>(units.size());
        std::fflush(err_);
    }

    void stage(const Unit& u) {
        if (terminal_) return;
        std::fprintf(err_, "[%s] %s\n", u.plan->label.c_str(), u.stage.c_str());
        std::fflush(err_);
    }
    void finished(const Unit& u) {
        if (terminal_) return;
        std::fprintf(err_, "[%s] %s%s\n", u.plan->label.c_str(),
                     u.exit_code == 0 ? "ok" : "failed: ", u.exit_code == 0 ? "" : u.error.c_str());
        std::fflush(err_);
    }

  private:
    std::FILE* err_;
    bool terminal_;
    double last_ = 0;
    int drawn_ = 0;
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

BatchOutcome run_batch(const std::vector<UnitPlan>& plans, const BatchOptions& options,
                       const CliStreams& io) {
    BatchOutcome outcome;
    outcome.units = static_cast<int>(plans.size());
    if (::mkdir(options.log_dir.c_str(), 0755) != 0 && errno != EEXIST) {
        outcome.error = "can't create \"" + options.log_dir + "\": " + std::strerror(errno);
        return outcome;
    }
    const RegularFd report = open_regular_file(options.report, O_WRONLY | O_CREAT | O_APPEND);
    if (!report.ok()) {
        outcome.error = "the report: " + report.reason;
        return outcome;
    }
    const int report_fd = report.fd;
    const std::string program =
        options.child_program.empty() ? self_executable() : options.child_program;
    const int jobs = options.jobs > 0
                         ? options.jobs
                         : std::min<int>(kDefaultMaxJobs, static_cast<int>(plans.size()));
    std::vector<Unit> units(plans.size());
    for (std::size_t i = 0; i < plans.size(); ++i)
        units[i].plan = &plans[i];
    LiveView view(io.err, io.err_is_terminal);

    const auto finish_unit = [&](Unit& u) {
        u.done = true;
        u.stage = u.exit_code == 0 ? "done" : "failed";
        make_report_line(u);
        const std::string line = u.report_line + "\n";
        if (::write(report_fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
            ::fsync(report_fd) != 0) {
            std::fprintf(io.err, "kestrelctl batch: can't write the report: %s\n",
                         std::strerror(errno));
        }
        write_summary(summary_path(options.report), units);
        if (u.exit_code == 0)
            ++outcome.ok;
        else
            outcome.failed.push_back(u.plan->label);
        view.finished(u);
    };

    std::size_t next = 0;
    int running = 0;
    while (next < units.size() || running > 0) {
        if (interrupt_count() > 0) outcome.interrupted = true;
        while (!outcome.interrupted && running < jobs && next < units.size()) {
            Unit& u = units[next++];
            u.started = now_s();
            if (u.plan->mac == "auto") {
                const MacTake take = take_mac(options.mac_state, *options.mac_range);
                if (!take.mac) {
                    u.exit_code = kExitUsage;
                    u.error = take.error;
                    finish_unit(u);
                    continue;
                }
                u.mac = mac_text(*take.mac);
            } else {
                u.mac = u.plan->mac;
            }
            std::string error;
            if (!spawn(u, program, child_args(u, options), error)) {
                u.exit_code = kExitFile;
                u.error = error;
                finish_unit(u);
                continue;
            }
            u.stage = "starting";
            view.stage(u);
            ++running;
        }
        std::vector<pollfd> fds;
        std::vector<std::pair<Unit*, bool>> who;  // unit, stdout?
        for (auto& u : units) {
            if (u.pid < 0 || u.done) continue;
            if (u.out_fd >= 0) {
                fds.push_back({u.out_fd, POLLIN, 0});
                who.emplace_back(&u, true);
            }
            if (u.err_fd >= 0) {
                fds.push_back({u.err_fd, POLLIN, 0});
                who.emplace_back(&u, false);
            }
        }
        if (!fds.empty()) ::poll(fds.data(), fds.size(), 200);
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            Unit& u = *who[i].first;
            const std::string before = u.stage;
            pump(u, who[i].second ? fds[i].revents : 0, who[i].second ? 0 : fds[i].revents);
            if (u.stage != before) view.stage(u);
        }
        for (auto& u : units) {
            if (u.pid < 0 || u.done || u.out_fd >= 0 || u.err_fd >= 0) continue;
            int status = 0;
            while (::waitpid(u.pid, &status, 0) < 0 && errno == EINTR) {
            }
            u.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            u.seconds = now_s() - u.started;
            // The child's result is its last line on stdout.
            std::istringstream lines(u.out);
            for (std::string line; std::getline(lines, line);) {
                if (!line.empty()) u.result_json = line;
            }
            --running;
            finish_unit(u);
        }
        view.draw(units, false);
        if (fds.empty() && running == 0 && (outcome.interrupted || next >= units.size())) break;
    }
    view.draw(units, true);
    return outcome;
}

}  // namespace kestrel::cli
