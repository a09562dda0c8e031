// Steps the flash commands (read, write, verify) share: the chip check, loading an image, reading
// a region of the chip, and the wording of their failures. The chip steps run inside
// run_flash_worker; the rest on the main thread. Failures are recorded in the session.
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

// The chip check every flash command opens with (inside the worker); false with the failure
// recorded (kExitFlashChip in code) and flash_id added to the JSON either way.
bool chip_ok(Session& session, int& code);
// An id of all 00h or all FFh: nothing drove the bus.
bool no_chip(const FlashId& id);

// Reads the region into out (region.length bytes) page by page (inside the worker). false with
// the failure recorded: kExitInterrupted or kExitLink, the message ending in `consequence`
// ("nothing written").
bool read_region(Session& session, const FlashRegion& region, FlashStage stage, Bytes& out,
                 int& code, const std::string& consequence);

// An image file read whole, refused unless regular and not empty (kExitFile). Longer than
// limit: kExitUsage unless truncate, which keeps its first limit bytes.
struct ImageLimit {
    std::size_t limit = 0;
    bool truncate = false;
    std::string what;  // "the chip's 4194304 bytes", for the message
};
[[nodiscard]] std::optional<Bytes> load_image(Session& session, const std::string& path,
                                              const ImageLimit& limit, int& code);

// Free space and a writable folder for a file of `bytes` at path, checked before the device is
// touched; false with the failure recorded (kExitFile).
bool output_room(Session& session, const std::string& path, std::uint64_t bytes, int& code);

// Writes bytes to path atomically; false with the failure recorded (kExitFile; the message ends
// in "; " + consequence when one is given), nothing left.
bool save_file(Session& session, const std::string& path, const Bytes& bytes, int& code,
               const std::string& consequence = {});

}  // namespace kestrel::cli
