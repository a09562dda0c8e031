// The file --trace names. It is opened without blocking and taken only as a regular file, or as
// a FIFO that some process reads, whose writes wait at most a bounded time for room: a trace
// never hangs kestrelctl. Any thread (calls are serialised inside); the TraceFile owns its fd.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace kestrel::cli {

// How long a write to a FIFO may wait for its reader to make room before the trace is given up.
inline constexpr int kTraceStallMs = 2000;

class TraceFile {
  public:
    // Opens path for writing: a regular file is created or emptied; a FIFO must already have a
    // reader. Anything else (a FIFO nobody reads, a device, a directory, a socket) is refused:
    // ok() is false and open_error() says why, naming the path.
    explicit TraceFile(const std::string& path, int stall_ms = kTraceStallMs);
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    [[nodiscard]] bool ok() const { return fd_ >= 0; }
    [[nodiscard]] const std::string& open_error() const { return open_error_; }

    // Writes text, and a line feed when it does not end in one. False when the line could not be
    // written whole: a write error, the FIFO's reader gone (never a SIGPIPE), or no room made for
    // stall_ms. After the first failure nothing more is written and every call gives false.
    [[nodiscard]] bool write_line(std::string_view text);

    // Why the trace stopped taking lines, as a sentence naming the path, or empty.
    [[nodiscard]] std::string failure() const;

  private:
    bool write_all(const char* data, std::size_t size);
    bool wait_for_room(std::uint64_t deadline_us);

    std::string path_;
    std::string open_error_;
    int fd_ = -1;
    bool fifo_ = false;
    int stall_ms_;
    mutable std::mutex mutex_;
    std::string failure_;  // under mutex_
};

}  // namespace kestrel::cli
