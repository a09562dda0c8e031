#include "flash/core/page_io.h"

#include <algorithm>
#include <array>

#include "flash/core/spi_flash.h"
#include "platform/trace.h"

namespace kestrel {
namespace {

// The first byte of `now` that programming cannot turn into `want` (programming only clears
// bits), or -1 when every byte can still get there.
int first_unprogrammable(std::span<const std::uint8_t, kPageSize> now,
                         std::span<const std::uint8_t, kPageSize> want) {
    for (std::size_t i = 0; i < kPageSize; ++i) {
        if ((now[i] & want[i]) != want[i]) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace

bool read_page_checked(std::uint32_t address, std::span<std::uint8_t, kPageSize> dest) {
    const FlashAddress page = flash_address(address);
    std::size_t next = 0;
    std::size_t failed_chunk = kPageReadChunks;
    int tries = 0;
    while ((next = spi_read_chunks(page, next, dest, true)) < kPageReadChunks) {
        tries = next == failed_chunk ? tries + 1 : 1;
        failed_chunk = next;
        if (tries >= kChunkReadTries) {
            tracef("read page %06x failed: byte %zu not acknowledged in %d tries", address,
                   next * 8, kChunkReadTries);
            return false;
        }
        tracef("read page %06x: not acknowledged, reading again from byte %zu", address, next * 8);
    }
    return true;
}

PageProgram program_page_checked(std::uint32_t address,
                                 std::span<const std::uint8_t, kPageSize> page) {
    const FlashAddress at = flash_address(address);
    for (int attempt = 1; attempt <= kPageProgramTries; ++attempt) {
        LinkTally tally;
        const int ok = spi_program_page(at, page, &tally);
        if (tally.clean() && !ok) return PageProgram::ChipBusy;
        if (tally.clean() && attempt == 1) return PageProgram::Done;
        if (!tally.clean()) {
            tracef("program page %06x: %d exchange(s) not acknowledged, reading it back", address,
                   tally.unacknowledged);
        }
        std::array<std::uint8_t, kPageSize> back{};
        if (!read_page_checked(address, back)) return PageProgram::LinkFailed;
        if (std::equal(page.begin(), page.end(), back.begin())) return PageProgram::Done;
        const int bad = first_unprogrammable(back, page);
        if (bad >= 0) {
            const auto i = static_cast<std::size_t>(bad);
            tracef("program page %06x failed: byte %d reads %02x, can't be programmed to %02x",
                   address, bad, back[i], page[i]);
            return PageProgram::ReadBackDiffers;
        }
    }
    tracef("program page %06x failed: not programmed in %d tries", address, kPageProgramTries);
    return PageProgram::LinkFailed;
}

}  // namespace kestrel
