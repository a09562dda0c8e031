// Page reads and page programs that survive link faults without ever taking a faulty exchange
// for a good one. On a clean link they send exactly the traffic of spi_read_page and
// spi_program_page; retries and checks add exchanges only after an unacknowledged one.
#pragma once

#include <cstdint>
#include <span>

#include "flash/core/spi_regs.h"

namespace kestrel {

inline constexpr int kPageReadTries = 4;
inline constexpr int kPageProgramTries = 4;

// Reads the page at address into dest. An attempt with an unacknowledged exchange is made
// again with a fresh Read Data transaction, at most kPageReadTries attempts. False (traced)
// when no attempt was fully acknowledged; dest then holds nothing to rely on.
bool read_page_checked(std::uint32_t address, std::span<std::uint8_t, kPageSize> dest);

enum class PageProgram {
    Done,
    ChipBusy,         // a clean attempt whose status polls ran out (spi_program_page gave 0)
    LinkFailed,       // no attempt was fully acknowledged, or the read-back was not
    ReadBackDiffers,  // the chip holds other bytes than the page (a lost request shifted them)
};

// Programs the page at address. An attempt with an unacknowledged exchange is programmed again
// from its write enable, at most kPageProgramTries attempts; after such a retry the page is
// read back and compared, since a lost request may have shifted the bytes the chip took.
PageProgram program_page_checked(std::uint32_t address,
                                 std::span<const std::uint8_t, kPageSize> page);

}  // namespace kestrel
