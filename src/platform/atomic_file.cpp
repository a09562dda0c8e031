#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <utility>

#include "platform/regular_file.h"

namespace kestrel {
namespace {

constexpr int kNameTries = 100;

// Six letters or digits, as mkstemp takes, but for an open that lets the kernel apply the umask.
std::string random_suffix() {
    static constexpr char kChars[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device source;
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kChars - 2);
    std::string out(6, ' ');
    for (char& c : out)
        c = kChars[pick(source)];
    return out;
}

}  // namespace

std::string AtomicFile::check_target(const std::string& path) {
    const auto slash = path.rfind('/');
    if (path.empty() || slash == path.size() - 1)
        return "\"" + path + "\" names a directory, not a file";
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        return "\"" + path + "\" exists and is " + file_kind(st.st_mode);
    }
    return {};
}

AtomicFile::AtomicFile(std::string path, unsigned mode) : path_(std::move(path)) {
    const auto slash = path_.rfind('/');
    const std::string dir =
        slash == std::string::npos ? std::string(".") : path_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    if (const std::string why = check_target(path_); !why.empty()) {
        set_error(why);
        return;
    }
    dir_ = dir;
    const std::string stem = (slash == std::string::npos ? std::string() : dir) + "." + base;
    for (int i = 0; i < kNameTries && fd_ < 0; ++i) {
        temp_ = stem + ".tmp-" + random_suffix();
        fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     static_cast<mode_t>(mode));
        if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) {
        set_error("can't create a file in \"" + dir + "\": " + std::strerror(errno));
        temp_.clear();
    }
}

AtomicFile::~AtomicFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && !temp_.empty()) ::unlink(temp_.c_str());
}

bool AtomicFile::set_error(const std::string& what) {
    if (error_.empty()) error_ = what;
    return false;
}

bool AtomicFile::write(std::span<const std::uint8_t> bytes) {
    if (fd_ < 0) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return set_error("can't write \"" + path_ + "\": " + std::strerror(errno));
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool AtomicFile::commit() {
    if (fd_ < 0) return false;
    const bool synced = ::fsync(fd_) == 0;
    const int saved = errno;
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    if (!synced || !closed) {
        return set_error("can't write \"" + path_ + "\": " + std::strerror(synced ? errno : saved));
    }
    if (::rename(temp_.c_str(), path_.c_str()) != 0) {
        return set_error("can't rename onto \"" + path_ + "\": " + std::strerror(errno));
    }
    committed_ = true;
    const int dir_fd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool dir_synced = dir_fd >= 0 && ::fsync(dir_fd) == 0;
    if (dir_fd >= 0) ::close(dir_fd);
    if (!dir_synced)
        return set_error("can't sync the folder of \"" + path_ + "\": " + std::strerror(errno));
    return true;
}

}  // namespace kestrel
