#include "cli/trace_file.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "cli/input_file.h"
#include "platform/regular_file.h"
#include "platform/ticks.h"

namespace kestrel::cli {
namespace {

// Blocks SIGPIPE in this thread for a write to a FIFO whose reader may be gone, and takes back
// the one such a write raised, so that EPIPE is reported instead of the process being killed.
class PipeSignalGuard {
  public:
    PipeSignalGuard() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        (void)pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
        was_pending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    }
    ~PipeSignalGuard() {
        sigset_t pending;
        sigemptyset(&pending);
        if (!was_pending_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            const timespec none{};
            (void)sigtimedwait(&pipe_, nullptr, &none);
        }
        (void)pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    PipeSignalGuard(const PipeSignalGuard&) = delete;
    PipeSignalGuard& operator=(const PipeSignalGuard&) = delete;

  private:
    sigset_t pipe_{};
    sigset_t old_{};
    bool was_pending_ = false;
};

}  // namespace

TraceFile::TraceFile(const std::string& path, int stall_ms) : path_(path), stall_ms_(stall_ms) {
    const std::string named = "can't open the trace file \"" + path + "\": ";
    // Never blocks: a FIFO without a reader gives ENXIO at once instead of waiting for one.
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        open_error_ = named + (errno == ENXIO ? std::string("it is a FIFO that no process reads")
                                              : std::string(std::strerror(errno)));
        return;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode))) {
        open_error_ = named + "it is " + file_kind(st.st_mode) + ", not a regular file or a FIFO";
        ::close(fd);
        return;
    }
    fifo_ = S_ISFIFO(st.st_mode);
    if (!fifo_) {
        // A regular file: emptied only now that it is known to be one; writes block as usual.
        if (::ftruncate(fd, 0) != 0) {
            open_error_ = named + std::strerror(errno);
            ::close(fd);
            return;
        }
        (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    fd_ = fd;
}

TraceFile::~TraceFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool TraceFile::write_line(std::string_view text) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (fd_ < 0 || !failure_.empty()) return false;
    std::string line(text);
    if (line.empty() || line.back() != '\n') line.push_back('\n');
    return write_all(line.data(), line.size());
}

bool TraceFile::write_all(const char* data, std::size_t size) {
    const std::uint64_t deadline_us =
        monotonic_us() + static_cast<std::uint64_t>(stall_ms_) * 1000u;
    std::optional<PipeSignalGuard> no_sigpipe;
    if (fifo_) no_sigpipe.emplace();
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && fifo_ && errno == EAGAIN && wait_for_room(deadline_us)) continue;
        if (n < 0 && errno == EAGAIN) {
            failure_ = "can't write the trace file \"" + path_ +
                       "\": its reader made no room for " + std::to_string(stall_ms_) +
                       " ms; the trace is incomplete";
            return false;
        }
        failure_ = "can't write the trace file \"" + path_ +
                   "\": " + std::strerror(n < 0 ? errno : EIO) + "; the trace is incomplete";
        return false;
    }
    return true;
}

bool TraceFile::wait_for_room(std::uint64_t deadline_us) {
    for (;;) {
        const std::uint64_t now = monotonic_us();
        if (now >= deadline_us) return false;
        pollfd p{fd_, POLLOUT, 0};
        const int left_ms = static_cast<int>((deadline_us - now + 999) / 1000);
        const int r = ::poll(&p, 1, left_ms);
        if (r > 0) return true;  // room, or an error the next write reports
        if (r < 0 && errno != EINTR) return false;
    }
}

std::string TraceFile::failure() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return failure_;
}

}  // namespace kestrel::cli
