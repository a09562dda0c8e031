// Page reads and page programs that survive link faults without ever taking a faulty exchange
// for a good one. On a clean link they send exactly the traffic of spi_read_page and
// spi_program_page; retries and checks add exchanges only after an unacknowledged one.
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

// Reads the page at address into dest. The page counts as read only when all 65 exchanges
// were clean, the link saw no stray datagram meanwhile and confirms it is in step afterwards;
// otherwise the transaction is closed with its end phase (50h 08h) and the whole page is read
// again, at most kPageReadTries times. False (traced) when no read was clean; dest then holds
// nothing to rely on.
bool read_page_checked(std::uint32_t address, std::span<std::uint8_t, kPageSize> dest);

enum class PageProgram {
    Done,
    ChipBusy,         // a clean attempt whose status polls ran out (spi_program_page gave 0)
    LinkFailed,       // the attempts or the read-back ran out of acknowledged exchanges
    ReadBackDiffers,  // the chip holds bits the page cannot be programmed to (a lost request
                      // shifted the bytes the chip took); only an erase can mend it
};

// Programs the page at address. A load with a fault is abandoned before its tail and loaded
// again from its write enable, once a clean status read shows the chip ready. After a program
// whose tail or polls were not clean the page is read back: when it holds the page the program
// is done, when bits are still to be cleared it is programmed again (at most
// kPageProgramTries attempts in all), and when it holds bits that no program can set again the
// page has failed.
PageProgram program_page_checked(std::uint32_t address,
                                 std::span<const std::uint8_t, kPageSize> page);

}  // namespace kestrel
