// The reading end of a FIFO that a test holds while kestrelctl writes its trace into it: opened
// without blocking, read into a string on demand, or left full so that the writer finds no room.
// Used on the test's thread; the FifoEnd owns its descriptor.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace kestrel::test {

class FifoEnd {
  public:
    // Makes the FIFO at path and opens its reading end. fd() is -1 when either failed.
    explicit FifoEnd(const std::string& path) {
        if (::mkfifo(path.c_str(), 0600) == 0)
            fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    ~FifoEnd() { close(); }
    FifoEnd(const FifoEnd&) = delete;
    FifoEnd& operator=(const FifoEnd&) = delete;

    int fd() const { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // Fills the pipe (made as small as the kernel allows) through a writing end of its own,
    // closed again: the bytes stay, and a writer finds no room until someone reads. False when
    // the pipe could not be filled.
    bool fill(const std::string& path) {
        const int w = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (w < 0) return false;
        (void)::fcntl(w, F_SETPIPE_SZ, 4096);
        const std::string block(512, 'x');
        ssize_t n = 0;
        while ((n = ::write(w, block.data(), block.size())) > 0) {
        }
        const bool full = n < 0 && errno == EAGAIN;
        ::close(w);
        return full;
    }
    // Everything written so far that the pipe holds.
    std::string drain() {
        std::string text;
        char buf[4096];
        for (ssize_t n; (n = ::read(fd_, buf, sizeof buf)) > 0;)
            text.append(buf, static_cast<std::size_t>(n));
        return text;
    }

  private:
    int fd_ = -1;
};

}  // namespace kestrel::test
