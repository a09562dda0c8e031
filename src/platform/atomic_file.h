// A file that appears under its name only when complete: written under a temporary name beside
// it, synced, renamed over it, and the folder synced so that the new name survives a crash. One
// thread at a time; the object owns the temporary file and removes it unless committed.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kestrel {

class AtomicFile {
  public:
    // The mode of a new file before the umask, unless the caller names another.
    static constexpr unsigned kDefaultMode = 0666;

    // Creates ".NAME.tmp-XXXXXX" beside path, exclusively and without following a link, with
    // mode less the umask (applied by the kernel, as for any new file; the umask is never read or
    // changed). Check ok(); error() then says why not: check_target's reason, or
    // "can't create a file in "DIR": ...".
    explicit AtomicFile(std::string path, unsigned mode = kDefaultMode);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Why a file could not be made at path ("names a directory", "exists and is a character
    // device"), or empty: checked before long work so that it fails early. Creates nothing.
    static std::string check_target(const std::string& path);

    bool ok() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }

    // Appends bytes; false with error() "can't write "PATH": ..." (the first error is kept).
    [[nodiscard]] bool write(std::span<const std::uint8_t> bytes);
    // Syncs, closes and renames onto the final path (replacing a file there), then syncs the
    // folder. False with error() when any step fails; the temporary file is then removed unless
    // the rename had already happened.
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

}  // namespace kestrel
