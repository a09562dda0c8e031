// Page programs that survive link faults without ever taking a faulty exchange for a good one,
// and the checks of what a program left. Call on the flash worker, which holds the link lock.
// On a clean link a program sends the traffic of spi_program_page, a probe before the tail and
// after the ready status, and (ProgramCheck::Whole) a read of the page.
#pragma once

#include <cstdint>
#include <span>

#include "flash/core/flash_timing.h"
#include "flash/core/page_read.h"
#include "protocol/spi_regs.h"

namespace kestrel {

inline constexpr int kPageProgramTries = 24;

// Whether program_page_checked reads back a page whose program looked clean.
enum class ProgramCheck {
    Whole,  // every chunk (a load word the device took twice and a later one it never got
            // cancel out at the end, and their acknowledgements can hide both)
    None,   // the caller reads every programmed page back itself
    Later,  // that too, and mends the pages that differ: a program in doubt is not read back
            // here either, unless a load was abandoned before it
};

enum class PageProgram {
    Done,
    ChipBusy,         // a clean attempt whose status polls ran out (spi_program_page gave 0)
    LinkFailed,       // the attempts or the read-back ran out of acknowledged exchanges
    ReadBackDiffers,  // the chip holds bits the page cannot be programmed to (a load that lost
                      // or doubled a word); only an erase of its sector mends it
};

// Programs the page at address. A load in doubt is abandoned before its tail and loaded again
// from its write enable, once a clean status read shows the chip ready. After a program with
// any doubt (or an abandoned load, which the chip may still program) the page is read back:
// when it holds the page the program is done, when bits are still to be cleared it is
// programmed again (at most kPageProgramTries attempts in all), and when it holds bits that no
// program can set again the page has failed. A program that looked clean is checked as `check`
// says. With ProgramCheck::Later no page is read back here, not even after a doubt or an
// abandoned load: the caller's verify reads each one.
[[nodiscard]] PageProgram program_page_checked(std::uint32_t address,
                                               std::span<const std::uint8_t, kPageSize> page,
                                               ProgramCheck check = ProgramCheck::Whole);

// The first byte of `now` that programming cannot turn into `want` (programming only clears
// bits), or -1 when every byte can still get there.
[[nodiscard]] int first_unprogrammable(std::span<const std::uint8_t, kPageSize> now,
                                       std::span<const std::uint8_t, kPageSize> want);

// Waits until a trusted, confirmed status read shows the chip ready (at most polls reads).
[[nodiscard]] bool chip_ready(int polls);

}  // namespace kestrel
