#include "cli/batch_child.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "cli/exit_codes.h"
#include "cli/json.h"

extern char** environ;

namespace kestrel::cli {
namespace {

// One progress object from the child's stderr.
void take_progress(BatchUnit& u, const std::string& line) {
    if (line.empty() || line[0] != '{') return;
    if (const auto stage = json_field(line, "stage")) {
        if (*stage != u.stage) u.percent = -1;
        u.stage = *stage;
    }
    if (const auto p = json_field(line, "percent")) u.percent = std::atoi(p->c_str());
    if (const auto r = json_field(line, "rate_kib_s")) u.rate = std::atof(r->c_str());
    if (const auto e = json_field(line, "eta_s")) u.eta = std::atof(e->c_str());
}

// Reads one chunk from fd into text; closes fd (and sets it to -1) at its end or on an error.
bool read_some(int& fd, std::string& text) {
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
        text.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    if (n == 0 || errno != EINTR) {
        ::close(fd);
        fd = -1;
    }
    return false;
}

}  // namespace

std::vector<std::string> child_args(const UnitPlan& p, const std::string& mac,
                                    const BatchOptions& options) {
    std::vector<std::string> a = {
        "kestrelctl", "--device", p.device->text(), "--json",
        "--progress", "json",     "--trace",        unit_log_path(options, p)};
    const auto opt = [&a](const char* name, const std::string& value) {
        if (!value.empty()) {
            a.push_back(name);
            a.push_back(value);
        }
    };
    opt("--window", p.window);
    a.insert(a.end(), {"unit", "--label", p.label});
    opt("--image", p.image);
    opt("--mac", mac);
    opt("--ts-port", p.ts_port);
    opt("--multicast-ip", p.multicast_ip);
    opt("--multicast", p.multicast);
    opt("--new-ip", p.new_ip);
    if (p.reset) a.push_back("--reset");
    return a;
}

Status spawn_child(BatchUnit& u, const std::string& program, const std::vector<std::string>& args) {
    const auto system_error = [](std::string why) {
        return Status::failure(StatusCode::SystemError, std::move(why));
    };
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return system_error(std::strerror(errno));
    if (::pipe2(err, O_CLOEXEC) != 0) {
        const std::string why = std::strerror(errno);
        ::close(out[0]);
        ::close(out[1]);
        return system_error(why);
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
        ::close(out[0]);
        ::close(err[0]);
        u.pid = -1;
        return system_error("can't start \"" + program + "\": " + std::strerror(rc));
    }
    u.out_fd = out[0];
    u.err_fd = err[0];
    return {};
}

bool pump_child(BatchUnit& u, short revents_out, short revents_err) {
    if (u.out_fd >= 0 && revents_out) read_some(u.out_fd, u.out);
    if (u.err_fd >= 0 && revents_err && read_some(u.err_fd, u.err_line)) {
        for (std::size_t nl; (nl = u.err_line.find('\n')) != std::string::npos;) {
            take_progress(u, u.err_line.substr(0, nl));
            u.err_line.erase(0, nl + 1);
        }
    }
    return u.out_fd >= 0 || u.err_fd >= 0;
}

void reap_child(BatchUnit& u) {
    int status = 0;
    while (::waitpid(u.pid, &status, 0) < 0 && errno == EINTR) {
    }
    u.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : kExitBySignal + WTERMSIG(status);
    u.seconds = batch_now_s() - u.started;
    std::istringstream lines(u.out);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) u.result_json = line;
    }
}

}  // namespace kestrel::cli
