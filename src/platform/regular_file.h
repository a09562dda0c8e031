// Opening files that a user names (settings, plans, state files, reports) without ever blocking
// on a FIFO or a device and without reading more than a stated size. Any thread; the caller
// owns the descriptor it is given.
#pragma once

#include <cstddef>
#include <string>

#include "platform/c_file.h"

namespace kestrel {

// What an open or a read found.
enum class FileStatus { Ok, Missing, NotRegular, TooLarge, Failed };

// An open descriptor (-1 unless Ok) that closes itself, or why there is none.
struct [[nodiscard]] RegularFd {
    RegularFd() = default;
    RegularFd(RegularFd&& other) noexcept;
    RegularFd& operator=(RegularFd&& other) noexcept;
    ~RegularFd();

    int fd = -1;
    FileStatus status = FileStatus::Failed;
    std::string reason;  // a sentence naming the path, empty when Ok
    int error = 0;       // the errno of a failed call, 0 otherwise
    bool ok() const { return status == FileStatus::Ok; }
};

// Opens path with flags (O_RDONLY, O_WRONLY | O_APPEND, O_CREAT with mode, ...) and O_NONBLOCK,
// O_NOCTTY and O_CLOEXEC added, then keeps the descriptor only for a regular file: a FIFO, a
// device, a socket or a directory is closed again and gives NotRegular. The descriptor is
// switched back to blocking. Missing when the file does not exist; Failed for other errors.
RegularFd open_regular_file(const std::string& path, int flags, unsigned mode = 0644);

// As open_regular_file, with the descriptor handed to a C stdio stream opened in mode ("rb",
// "wb", "ab", matching flags). Null when the open or fdopen fails; *reason (when given) then
// says why, naming the path.
CFile open_regular_c_file(const std::string& path, int flags, const char* mode,
                          std::string* reason = nullptr);

struct [[nodiscard]] FileText {
    FileStatus status = FileStatus::Failed;
    std::string bytes;   // the whole file when Ok
    std::string reason;  // a sentence naming the path, empty when Ok
    int error = 0;       // the errno of a failed call, 0 otherwise
    bool ok() const { return status == FileStatus::Ok; }
};

// Reads the whole regular file at path when it holds at most max_bytes (TooLarge otherwise, also
// for a file that grows past the limit while it is read). what names the file in the reason
// ("the plan", "the settings file").
FileText read_regular_file(const std::string& path, std::size_t max_bytes, const std::string& what);

// "a directory", "a FIFO", "a character device", "a block device", "a socket", "a symbolic
// link" or "not a regular file" for an st_mode.
const char* file_kind(unsigned mode);

// One MiB: the most a settings file, a plan or a MAC state file may hold.
inline constexpr std::size_t kSmallFileMax = std::size_t{1} << 20;

}  // namespace kestrel
