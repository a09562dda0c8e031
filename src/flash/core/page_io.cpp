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

namespace {

// Chunks first..31 of the page into the same places of dest, as read_page_checked reads them.
bool read_chunks_checked(std::uint32_t address, std::size_t first,
                         std::span<std::uint8_t, kPageSize> dest) {
    const FlashAddress page = flash_address(address);
    const auto from = static_cast<std::ptrdiff_t>(first * 8);
    // The last clean read with a chunk that a copy or a late reply could have stood in for.
    std::array<std::uint8_t, kPageSize> unproven{};
    bool have_unproven = false;
    for (int attempt = 1; attempt <= kPageReadTries; ++attempt) {
        LinkWatch watch;
        LinkTally tally;
        const std::size_t read = spi_read_chunks(page, first, dest, true, &tally);
        if (read < kPageReadChunks) {
            // Close the abandoned Read Data transaction with its end phase before a new one.
            write_reg(SPI_CTRL, RegisterWord{kCtrlReadLast[0], kCtrlReadLast[1]});
        }
        if (read == kPageReadChunks && watch.clean() && confirm_in_step() && watch.clean()) {
            if (tally.unproven == 0) return true;
            // Two clean reads that agree: a copy or a late reply standing in at the same place
            // in both is out of reach.
            if (have_unproven && std::equal(dest.begin() + from, dest.end(), unproven.begin() + from))
                return true;
            std::copy(dest.begin(), dest.end(), unproven.begin());
            have_unproven = true;
            tracef("read page %06x: a chunk may have come from a copy or a late reply (try %d "
                   "of %d), reading the page again to compare",
                   address, attempt, kPageReadTries);
            continue;
        }
        tracef("read page %06x: link fault (try %d of %d), reading the page again", address,
               attempt, kPageReadTries);
    }
    tracef("read page %06x failed: no clean read in %d tries", address, kPageReadTries);
    return false;
}

}  // namespace

bool read_page_checked(std::uint32_t address, std::span<std::uint8_t, kPageSize> dest) {
    return read_chunks_checked(address, 0, dest);
}

TailCheck check_page_tail(std::uint32_t address, std::span<const std::uint8_t, kPageSize> page) {
    std::size_t last = kPageSize;
    for (std::size_t i = kPageSize; i-- > 0;) {
        if (page[i] != 0xFF) {
            last = i;
            break;
        }
    }
    if (last == kPageSize) return TailCheck::Holds;
    // From the chunk before the last programmed byte's, so that the transaction opens with
    // B0 48 and ends with 50 08 as a whole page read does.
    const std::size_t chunk = last / 8;
    const std::size_t first = std::min<std::size_t>(chunk == 0 ? 0 : chunk - 1, kPageReadChunks - 2);
    std::array<std::uint8_t, kPageSize> back{};
    if (!read_chunks_checked(address, first, back)) return TailCheck::LinkFailed;
    return std::equal(page.begin() + static_cast<std::ptrdiff_t>(first * 8), page.end(),
                      back.begin() + static_cast<std::ptrdiff_t>(first * 8))
               ? TailCheck::Holds
               : TailCheck::Differs;
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
                                 std::span<const std::uint8_t, kPageSize> page,
                                 ProgramCheck check) {
    const FlashAddress at = flash_address(address);
    // An abandoned load is still programmed when the next transaction selects the chip: the
    // chip programs whatever it took, which a duplicated request may have shifted. A page with
    // one behind it counts as programmed only once it reads back right.
    bool abandoned = false;
    int paced_loads = 0;
    for (int attempt = 1; attempt <= kPageProgramTries; ++attempt) {
        if (attempt > 1 && !chip_ready()) {
            tracef("program page %06x failed: the chip never read ready", address);
            return PageProgram::LinkFailed;
        }
        LinkWatch watch;
        LinkTally tally;
        const LoadPace pace =
            paced_loads < kPacedLoadsPerPage ? LoadPace::Prompt : LoadPace::Any;
        const int ok = spi_program_page(at, page, &tally, pace);
        if (ok == kProgramAbandoned) {
            // Also a load given up only for a slow acknowledgement: that reply may be the answer
            // to a duplicated request, which put a word twice into the load.
            abandoned = true;
            const bool paced_out =
                watch.clean() && tally.paced_out > 0 && tally.unacknowledged == tally.paced_out;
            if (paced_out) ++paced_loads;
            tracef("program page %06x: %s while loading (try %d of %d), loading again", address,
                   paced_out ? "a slow acknowledgement" : "link fault", attempt,
                   kPageProgramTries);
            continue;
        }
        const bool clean = tally.clean() && watch.clean();
        if (clean && ok == 0) return PageProgram::ChipBusy;
        bool tail_differs = false;
        if (clean && !abandoned && tally.maybe_stale == 0) {
            if (check == ProgramCheck::None) return PageProgram::Done;
            const TailCheck tail = check_page_tail(address, page);
            if (tail == TailCheck::Holds) return PageProgram::Done;
            if (tail == TailCheck::LinkFailed) return PageProgram::LinkFailed;
            tail_differs = true;
        }
        if (tail_differs) {
            tracef("program page %06x: its last bytes read back wrong, reading it back", address);
        } else if (clean) {
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
