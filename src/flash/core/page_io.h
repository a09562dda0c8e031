// Page reads and page programs that survive link faults without ever taking a faulty exchange
// for a good one. On a clean link a read sends exactly the traffic of spi_read_page, and a
// program that of spi_program_page followed by a read of the page's last programmed chunks;
// retries and read-backs add exchanges only after an unclean one.
#pragma once

#include <cstdint>
#include <span>

#include "flash/core/flash_timing.h"
#include "protocol/spi_regs.h"

namespace kestrel {

// Under 0.1% of each kind of link fault about half the tries of a page fail (a fault costs the
// try it hits, and a late or duplicated reply often the next one too), so the budget must hold
// runs of a dozen failures for a whole chip to come through; a link that fails every try still
// ends in a clear failure.
inline constexpr int kPageReadTries = 24;
inline constexpr int kPageProgramTries = 24;
// Loads of one page that may be given up for a slow acknowledgement (LoadPace::Prompt). A link
// whose round trips jitter can make every load look slow for a while; after this many the page
// is loaded at LoadPace::Any and read back whole after its program instead, so jitter costs
// time, never the page.
inline constexpr int kPacedLoadsPerPage = 2;

// Reads the page at address into dest. The page counts as read only when all 65 exchanges
// were clean, the link saw no stray datagram meanwhile and confirms it is in step afterwards;
// otherwise the transaction is closed with its end phase (50h 08h) and the whole page is read
// again, at most kPageReadTries times. A clean read with a chunk that reads as SPI_CTRL's last
// reply on a link that has shown strays, or whose reply may have come late (LinkTally::unproven),
// stands only once another clean read gives the same bytes, or one without such a chunk comes. False (traced) when no read was clean; dest then holds
// nothing to rely on.
bool read_page_checked(std::uint32_t address, std::span<std::uint8_t, kPageSize> dest);

// What the last programmed bytes of a page read back as.
enum class TailCheck {
    Holds,       // the page's bytes from the chunk before its last non-FFh byte on read right
    Differs,
    LinkFailed,  // no clean read of them (see read_page_checked)
};

// Reads the end of a programmed page: the chunk that holds its last byte that is not FFh, the
// chunk before it and every chunk after (often 2 chunks, 6 exchanges). A page load that lost a
// data word, or whose write enable, head or tail never reached the chip, leaves that byte
// wrong: every word after a lost one lands one place early, and the end of the page stays
// erased. Nothing at the link can show that loss when a copy of an earlier acknowledgement
// stands in for the lost word's, so a program that looked clean is checked this way. A page
// that is all FFh holds at once.
[[nodiscard]] TailCheck check_page_tail(std::uint32_t address,
                                        std::span<const std::uint8_t, kPageSize> page);

// Whether program_page_checked checks the end of a page whose program looked clean.
enum class ProgramCheck {
    Tail,  // check_page_tail; the page is read back whole when it differs
    None,  // the caller reads every programmed page back itself
};

enum class PageProgram {
    Done,
    ChipBusy,         // a clean attempt whose status polls ran out (spi_program_page gave 0)
    LinkFailed,       // the attempts or the read-back ran out of acknowledged exchanges
    ReadBackDiffers,  // the chip holds bits the page cannot be programmed to (a lost request
                      // shifted the bytes the chip took); only an erase can mend it
};

// Programs the page at address. A load with a fault is abandoned before its tail and loaded
// again from its write enable, once a clean status read shows the chip ready. The first
// kPacedLoadsPerPage loads also give up at an acknowledgement that comes like a copy
// (LoadPace::Prompt); later ones take it, and a page with any load given up is read back. After a program
// whose tail or polls were not clean the page is read back: when it holds the page the program
// is done, when bits are still to be cleared it is programmed again (at most
// kPageProgramTries attempts in all), and when it holds bits that no program can set again the
// page has failed. A program that looked clean is checked as `check` says.
[[nodiscard]] PageProgram program_page_checked(std::uint32_t address,
                                               std::span<const std::uint8_t, kPageSize> page,
                                               ProgramCheck check = ProgramCheck::Tail);

}  // namespace kestrel
