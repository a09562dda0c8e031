// Page programs that survive link faults without ever taking a faulty exchange for a good one,
// and the checks of what a program left. Call on the flash worker, which holds the link lock.
// On a clean link a program sends the traffic of spi_program_page, a probe before the tail and
// after the ready status, and (ProgramCheck::Tail) a read of its last chunks.
#pragma once

#include <cstdint>
#include <span>

#include "flash/core/flash_timing.h"
#include "flash/core/page_read.h"
#include "protocol/spi_regs.h"

namespace kestrel {

inline constexpr int kPageProgramTries = 24;

// What the last programmed bytes of a page read back as.
enum class TailCheck {
    Holds,  // the page's bytes from the chunk before its last non-FFh byte on read right
    Differs,
    LinkFailed,  // no clean read of them (see read_chunks_checked)
};

// Reads the end of a programmed page: the chunk that holds its last byte that is not FFh, the
// chunk before it and every chunk after. A load that lost a data word or took one twice moves
// every later byte, so the page's last programmed byte is not where it belongs. A page that is
// all FFh holds at once.
[[nodiscard]] TailCheck check_page_tail(std::uint32_t address,
                                        std::span<const std::uint8_t, kPageSize> page);

// Whether program_page_checked checks the end of a page whose program looked clean.
enum class ProgramCheck {
    Tail,  // check_page_tail (a doubled or lost word the link could not see moves the end)
    None,  // the caller reads every programmed page back itself
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
// says.
[[nodiscard]] PageProgram program_page_checked(std::uint32_t address,
                                               std::span<const std::uint8_t, kPageSize> page,
                                               ProgramCheck check = ProgramCheck::Tail);

// Waits until a trusted, confirmed status read shows the chip ready (at most polls reads).
[[nodiscard]] bool chip_ready(int polls);

}  // namespace kestrel
