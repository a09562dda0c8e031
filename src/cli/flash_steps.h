// Steps the flash commands (read, write, verify) share: the chip check, loading an image, reading
// a region of the chip, and the wording of their failures. The chip steps run inside
// run_flash_worker, record their failure in the session and give its exit code; the file steps
// run on the main thread and return a Status (session.fail(Status) records one).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/session.h"
#include "flash/core/chip_pages.h"
#include "flash/core/page_io.h"
#include "flash/core/spi_flash.h"
#include "platform/status.h"

namespace kestrel::cli {

using Bytes = std::vector<std::uint8_t>;

// A byte range of the chip: offset + length <= 4 MiB, length >= 1.
struct FlashRegion {
    std::size_t offset = 0;
    std::size_t length = 0;
    int first_page() const;
    int page_count() const;  // pages that hold any byte of the region
};

// "0x080000"
std::string hex_address(std::uint64_t address);

// A chip address or length: decimal, or hexadecimal after 0x; at most 4194304.
std::optional<std::size_t> parse_flash_number(std::string_view text);

// The chip check every flash command opens with (inside the worker): kExitOk, or kExitFlashChip
// with the failure recorded; flash_id is added to the JSON either way.
[[nodiscard]] int check_chip(Session& session);

// Reads the region into out (region.length bytes) page by page (inside the worker): kExitOk, or
// kExitInterrupted or kExitLink with the failure recorded, the message ending in `consequence`
// ("nothing written").
[[nodiscard]] int read_region(Session& session, const FlashRegion& region, FlashStage stage,
                              Bytes& out, const std::string& consequence);

// An image file read whole: FileError unless it is a regular file that is not empty. Longer
// than limit: BadInput unless truncate, which keeps its first limit bytes.
struct ImageLimit {
    std::size_t limit = 0;
    bool truncate = false;
    std::string what;  // "the chip's 4194304 bytes", for the message
};
[[nodiscard]] Result<Bytes> load_image(const std::string& path, const ImageLimit& limit);

// Free space and a writable folder for a file of `bytes` at path, checked before the device is
// touched; FileError saying what is missing.
[[nodiscard]] Status output_room(const std::string& path, std::uint64_t bytes);

// Writes bytes to path atomically; FileError (the reason ends in "; " + consequence when one is
// given) with nothing left.
[[nodiscard]] Status save_file(const std::string& path, const Bytes& bytes,
                               const std::string& consequence = {});

}  // namespace kestrel::cli
