#include "cli/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/regular_file.h"

namespace kestrel::cli {

InputFile::InputFile(const std::string& path) : path_(path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error_ = "can't open \"" + path + "\": " + std::strerror(errno);
        return;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error_ = "can't open \"" + path + "\": " + std::strerror(errno);
        ::close(fd);
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        error_ = "\"" + path + "\" is " + file_kind(st.st_mode) + ", not a regular file";
        ::close(fd);
        return;
    }
    // A regular file never blocks; reads go on in the ordinary blocking mode.
    (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    fd_ = fd;
    size_ = static_cast<std::uint64_t>(st.st_size);
}

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

std::optional<std::vector<std::uint8_t>> InputFile::read(std::size_t max) {
    std::vector<std::uint8_t> out(max);
    std::size_t got = 0;
    while (got < max) {
        const ssize_t n = ::read(fd_, out.data() + got, max - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error_ = "can't read \"" + path_ + "\": " + std::strerror(errno);
            return std::nullopt;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    return out;
}

}  // namespace kestrel::cli
