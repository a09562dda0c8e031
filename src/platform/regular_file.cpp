#include "platform/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace kestrel {
namespace {

std::string quoted(const std::string& path) {
    return "\"" + path + "\"";
}

// As file_kind, with both kinds of device named alike.
const char* kind_of(mode_t mode) {
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return file_kind(mode);
}

std::string size_text(std::size_t bytes) {
    constexpr std::size_t kMiB = std::size_t{1} << 20;
    if (bytes >= kMiB && bytes % kMiB == 0) return std::to_string(bytes / kMiB) + " MiB";
    return std::to_string(bytes) + " bytes";
}

}  // namespace

const char* file_kind(unsigned mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "not a regular file";
}

RegularFd::RegularFd(RegularFd&& other) noexcept
    : fd(std::exchange(other.fd, -1)),
      status(other.status),
      reason(std::move(other.reason)),
      error(other.error) {}

RegularFd& RegularFd::operator=(RegularFd&& other) noexcept {
    if (this != &other) {
        if (fd >= 0) ::close(fd);
        fd = std::exchange(other.fd, -1);
        status = other.status;
        reason = std::move(other.reason);
        error = other.error;
    }
    return *this;
}

RegularFd::~RegularFd() {
    if (fd >= 0) ::close(fd);
}

RegularFd open_regular_file(const std::string& path, int flags, unsigned mode) {
    RegularFd out;
    const int fd =
        ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, static_cast<mode_t>(mode));
    if (fd < 0) {
        const int e = errno;
        out.error = e;
        // A directory opened for writing fails with EISDIR, a FIFO without a reader with ENXIO.
        struct stat named {};
        if (e != ENOENT && ::stat(path.c_str(), &named) == 0 && !S_ISREG(named.st_mode)) {
            out.status = FileStatus::NotRegular;
            out.reason = quoted(path) + " is " + kind_of(named.st_mode) + ", not a regular file";
            return out;
        }
        out.status = e == ENOENT ? FileStatus::Missing : FileStatus::Failed;
        out.reason = "can't open " + quoted(path) + ": " + std::strerror(e);
        return out;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        out.error = errno;
        out.reason = "can't examine " + quoted(path) + ": " + std::strerror(errno);
        ::close(fd);
        return out;
    }
    if (!S_ISREG(st.st_mode)) {
        out.status = FileStatus::NotRegular;
        out.reason = quoted(path) + " is " + kind_of(st.st_mode) + ", not a regular file";
        ::close(fd);
        return out;
    }
    const int fl = ::fcntl(fd, F_GETFL);
    if (fl >= 0) (void)::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    out.fd = fd;
    out.status = FileStatus::Ok;
    return out;
}

CFile open_regular_c_file(const std::string& path, int flags, const char* mode,
                          std::string* reason) {
    RegularFd file = open_regular_file(path, flags);
    if (!file.ok()) {
        if (reason) *reason = file.reason;
        return CFile();
    }
    CFile stream(::fdopen(file.fd, mode));
    if (!stream) {
        if (reason) *reason = "can't open " + quoted(path) + ": " + std::strerror(errno);
        return CFile();
    }
    file.fd = -1;  // the stream closes it
    return stream;
}

FileText read_regular_file(const std::string& path, std::size_t max_bytes,
                           const std::string& what) {
    FileText out;
    RegularFd file = open_regular_file(path, O_RDONLY);
    if (!file.ok()) {
        out.status = file.status;
        out.error = file.error;
        out.reason = what + ": " + file.reason;
        return out;
    }
    const std::string too_large =
        what + ": " + quoted(path) + " is larger than " + size_text(max_bytes);
    struct stat st {};
    if (::fstat(file.fd, &st) == 0 && static_cast<std::size_t>(st.st_size) > max_bytes) {
        out.status = FileStatus::TooLarge;
        out.reason = too_large;
        return out;
    }
    // One byte more than allowed tells a file that grew while it was read.
    const std::size_t limit = max_bytes + 1;
    std::string bytes(std::min(limit, static_cast<std::size_t>(st.st_size) + 4096), '\0');
    std::size_t got = 0;
    while (got < limit) {
        if (got == bytes.size()) bytes.resize(std::min(limit, bytes.size() * 2));
        const ssize_t n = ::read(file.fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            out.error = errno;
            out.reason = what + ": can't read " + quoted(path) + ": " + std::strerror(errno);
            return out;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got > max_bytes) {
        out.status = FileStatus::TooLarge;
        out.reason = too_large;
        return out;
    }
    bytes.resize(got);
    out.bytes = std::move(bytes);
    out.status = FileStatus::Ok;
    return out;
}

}  // namespace kestrel
