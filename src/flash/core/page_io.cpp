#include "flash/core/page_io.h"

#include <algorithm>
#include <array>

#include "flash/core/recovery_stats.h"
#include "flash/core/spi_flash.h"
#include "link/transport.h"
#include "platform/trace.h"

namespace kestrel {
int first_unprogrammable(std::span<const std::uint8_t, kPageSize> now,
                         std::span<const std::uint8_t, kPageSize> want) {
    for (std::size_t i = 0; i < kPageSize; ++i) {
        if ((now[i] & want[i]) != want[i]) return static_cast<int>(i);
    }
    return -1;
}

namespace {

enum class Back { Holds, Reprogram, Unmendable, LinkFailed };

// Reads the programmed page back and says what it needs. ready: a trusted status read right
// before showed the chip ready (else one is waited for first).
Back read_back(std::uint32_t address, std::span<const std::uint8_t, kPageSize> page, bool ready) {
    count_page_read_back();
    if (!ready && !chip_ready(kProgramMaxPolls)) return Back::LinkFailed;
    std::array<std::uint8_t, kPageSize> back{};
    if (!read_page_expecting(address, back, page)) return Back::LinkFailed;
    if (std::equal(page.begin(), page.end(), back.begin())) return Back::Holds;
    const int bad = first_unprogrammable(back, page);
    if (bad < 0) return Back::Reprogram;
    const auto i = static_cast<std::size_t>(bad);
    tracef("program page %06x failed: byte %d reads %02x, can't be programmed to %02x", address,
           bad, back[i], page[i]);
    return Back::Unmendable;
}

}  // namespace

bool chip_ready(int polls) {
    for (int poll = 0; poll < polls && link_silent_run() < kDeviceGoneSilentRun; ++poll) {
        LinkWatch watch;
        std::uint8_t status = 0;
        if (spi_read_status(status) && (status & kStatusBusy) == 0 && confirm_in_step() &&
            watch.clean()) {
            return true;
        }
    }
    return false;
}

PageProgram program_page_checked(std::uint32_t address,
                                 std::span<const std::uint8_t, kPageSize> page,
                                 ProgramCheck check) {
    const FlashAddress at = flash_address(address);
    // An abandoned load may still be programmed when the next transaction selects the chip:
    // a page with one behind it counts as programmed only once it reads back right.
    bool abandoned = false;
    for (int attempt = 1; attempt <= kPageProgramTries; ++attempt) {
        if (attempt > 1) {
            if (!chip_ready(kProgramMaxPolls)) {
                tracef("program page %06x failed: the chip never read ready", address);
                return PageProgram::LinkFailed;
            }
            count_page_reprogrammed();
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
        const bool clean = tally.trusted() && watch.clean();
        if (clean && ok == 0) return PageProgram::ChipBusy;
        // A load abandoned for a stray was flushed with FFh, one for a time-out holds a right
        // prefix: either programs no wrong bit, and the verify to come finds what is left.
        if (check == ProgramCheck::Later && ok == 1) return PageProgram::Done;
        if (clean && !abandoned) {
            if (check == ProgramCheck::None) return PageProgram::Done;
        } else {
            tracef("program page %06x: %s, reading it back", address,
                   abandoned ? "a load was abandoned before" : "an exchange was in doubt");
        }
        // ok == 1: the program's last status poll was trusted and showed the chip ready.
        switch (read_back(address, page, ok == 1)) {
            case Back::Holds:
                return PageProgram::Done;
            case Back::Unmendable:
                return PageProgram::ReadBackDiffers;
            case Back::LinkFailed:
                return PageProgram::LinkFailed;
            case Back::Reprogram:
                break;
        }
    }
    tracef("program page %06x failed: not programmed in %d tries", address, kPageProgramTries);
    return PageProgram::LinkFailed;
}

}  // namespace kestrel
