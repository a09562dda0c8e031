// The files the flash commands read (an image, a file to compare with): opened without
// blocking, so a FIFO or a device never hangs the command, and refused unless regular. Any
// thread; each InputFile owns its descriptor.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrel::cli {

class InputFile {
  public:
    // Opens path read-only without blocking. error() says why not: it can't be opened, or what
    // it is instead of a regular file ("\"/tmp/x\" is a directory, not a file").
    explicit InputFile(const std::string& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    bool ok() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }
    std::uint64_t size() const { return size_; }  // as fstat gave it at the open

    // Reads up to max bytes from where the last read ended; fewer only at the end of the file.
    // nullopt (error() set) on a read error.
    [[nodiscard]] std::optional<std::vector<std::uint8_t>> read(std::size_t max);

  private:
    std::string path_;
    std::string error_;
    std::uint64_t size_ = 0;
    int fd_ = -1;
};

}  // namespace kestrel::cli
