// A file that appears under its name only when complete: written to a temporary name in the
// same directory, synced, then renamed. A file that is not committed is removed, so an error or
// an interrupt never leaves half a file. The file gets the mode 0666 less the umask, and the
// folder is synced after the rename so that the new name survives a crash.
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

    // Why a file could not be made at path ("names a directory", "exists and is a character
    // device"), or empty: checked before long work so that it fails early. Creates nothing.
    static std::string check_target(const std::string& path);

    bool ok() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }

    [[nodiscard]] bool write(std::span<const std::uint8_t> bytes);
    // Syncs, closes and renames onto the final path (replacing a file there), then syncs the
    // folder.
    [[nodiscard]] bool commit();

  private:
    bool set_error(const std::string& what);
    std::string dir_;
    std::string path_;
    std::string temp_;
    std::string error_;
    int fd_ = -1;
    bool committed_ = false;
};

}  // namespace kestrel::cli
