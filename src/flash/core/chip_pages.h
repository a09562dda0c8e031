// Reading a run of flash pages into memory and comparing them with an image: the building
// blocks of a dump, a verify and a resumed write. Every page goes through read_page_checked, so
// a page is only ever handed back when it was read clean.
//
// Call on the thread that holds the link lock (see run_flash_worker).
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "flash/core/flash_job.h"
#include "protocol/spi_regs.h"

namespace kestrel {

enum class PagesRead {
    Ok,          // every page was read clean
    LinkFailed,  // page failed_page had no clean read in kPageReadTries tries
    Stopped,     // the hooks asked to stop; pages before failed_page were read
};

struct PagesReadResult {
    PagesRead outcome = PagesRead::Ok;
    int pages_read = 0;    // pages first .. first + pages_read - 1 are in dest
    int failed_page = -1;  // the page the read stopped at, when it did not end Ok
};

// Reads pages first .. first + count - 1 into dest (count x 256 bytes; dest[0] is the first
// byte of page first), reporting `stage` progress after every page. Pages are read in
// ascending order.
[[nodiscard]] PagesReadResult read_pages(int first, int count, std::span<std::uint8_t> dest,
                                         FlashStage stage, const FlashJobHooks& hooks);

// The image as the chip must hold it after a write: the image's bytes (at most 4 MiB), then
// FFh to the end of the chip.
std::uint8_t expected_flash_byte(std::span<const std::uint8_t> image, std::size_t address);

using FlashPage = std::array<std::uint8_t, kPageSize>;

// Page k as the chip must hold it after a write: the image's bytes, padded with FFh past the
// image's end (and past 4 MiB).
[[nodiscard]] FlashPage expected_page(std::span<const std::uint8_t> image, int k);

// A page as an erase leaves it: every byte FFh.
[[nodiscard]] FlashPage erased_page();

// True when every byte of the page is FFh, as an erase leaves it.
[[nodiscard]] bool blank_page(std::span<const std::uint8_t, kPageSize> page);

// The first address in [begin, end) where actual (which holds the chip's bytes from address
// begin on) differs from what the image leaves in the chip, or -1.
long first_difference(std::span<const std::uint8_t> image, std::size_t begin,
                      std::span<const std::uint8_t> actual);

}  // namespace kestrel
