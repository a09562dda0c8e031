// A file that appears under its name only when complete: written to a temporary name in the
// same directory, synced, then renamed. A file that is not committed is removed, so an error or
// an interrupt never leaves half a file.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kestrel::cli {

class AtomicFile {
  public:
    // Creates the temporary file beside path; check ok() (error() says why not).
    explicit AtomicFile(std::string path);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    bool ok() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }

    [[nodiscard]] bool write(std::span<const std::uint8_t> bytes);
    // Syncs, closes and renames onto the final path (replacing a file there).
    [[nodiscard]] bool commit();

  private:
    bool set_error(const std::string& what);
    std::string path_;
    std::string temp_;
    std::string error_;
    int fd_ = -1;
    bool committed_ = false;
};

}  // namespace kestrel::cli
