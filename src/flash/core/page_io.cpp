#include "flash/core/page_io.h"

#include <algorithm>
#include <array>

#include "flash/core/spi_flash.h"
#include "link/transport.h"
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
    for (int attempt = 1; attempt <= kPageReadTries; ++attempt) {
        LinkWatch watch;
        const std::size_t read = spi_read_chunks(page, 0, dest, true);
        if (read < kPageReadChunks) {
            // Close the abandoned Read Data transaction with its end phase before a new one.
            write_reg(SPI_CTRL, RegisterWord{kCtrlReadLast[0], kCtrlReadLast[1]});
        }
        if (read == kPageReadChunks && watch.clean() && confirm_in_step() && watch.clean()) {
            return true;
        }
        tracef("read page %06x: link fault (try %d of %d), reading the page again", address,
               attempt, kPageReadTries);
    }
    tracef("read page %06x failed: no clean read in %d tries", address, kPageReadTries);
    return false;
}

namespace {

// Waits until a clean, confirmed status read shows the chip ready (at most kProgramMaxPolls).
bool chip_ready() {
    for (int poll = 0; poll < kProgramMaxPolls; ++poll) {
        LinkWatch watch;
        std::uint8_t status = 0;
        if (spi_read_status(status) && (status & kStatusBusy) == 0 && confirm_in_step() &&
            watch.clean()) {
            return true;
        }
    }
    return false;
}

}  // namespace

PageProgram program_page_checked(std::uint32_t address,
                                 std::span<const std::uint8_t, kPageSize> page) {
    const FlashAddress at = flash_address(address);
    // An abandoned load is still programmed when the next transaction selects the chip: the
    // chip programs whatever it took, which a duplicated request may have shifted. A page with
    // one behind it counts as programmed only once it reads back right.
    bool abandoned = false;
    for (int attempt = 1; attempt <= kPageProgramTries; ++attempt) {
        if (attempt > 1 && !chip_ready()) {
            tracef("program page %06x failed: the chip never read ready", address);
            return PageProgram::LinkFailed;
        }
        LinkWatch watch;
        LinkTally tally;
        const int ok = spi_program_page(at, page, &tally);
        if (ok == kProgramAbandoned) {
            abandoned = true;
            tracef("program page %06x: link fault while loading (try %d of %d), loading again",
                   address, attempt, kPageProgramTries);
            continue;
        }
        const bool clean = tally.clean() && watch.clean();
        if (clean && ok == 0) return PageProgram::ChipBusy;
        if (clean && !abandoned && tally.maybe_stale == 0) return PageProgram::Done;
        if (clean) {
            tracef("program page %06x: %s, reading it back", address,
                   abandoned ? "a load was abandoned before" : "a reply may have come late");
        } else {
            tracef("program page %06x: %d exchange(s) not clean, reading it back", address,
                   tally.unacknowledged);
        }
        if (!chip_ready()) return PageProgram::LinkFailed;
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
