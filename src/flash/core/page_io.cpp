#include "flash/core/page_io.h"

#include <algorithm>
#include <array>

#include "flash/core/spi_flash.h"
#include "platform/trace.h"

namespace kestrel {

bool read_page_checked(std::uint32_t address, std::span<std::uint8_t, kPageSize> dest) {
    for (int attempt = 1; attempt <= kPageReadTries; ++attempt) {
        LinkTally tally;
        spi_read_page(flash_address(address), dest, &tally);
        if (tally.clean()) return true;
        tracef("read page %06x: %d exchanges not acknowledged (try %d of %d)", address,
               tally.unacknowledged, attempt, kPageReadTries);
    }
    tracef("read page %06x failed: no acknowledged read in %d tries", address, kPageReadTries);
    return false;
}

PageProgram program_page_checked(std::uint32_t address,
                                 std::span<const std::uint8_t, kPageSize> page) {
    for (int attempt = 1; attempt <= kPageProgramTries; ++attempt) {
        LinkTally tally;
        const int ok = spi_program_page(flash_address(address), page, &tally);
        if (tally.clean()) {
            if (!ok) return PageProgram::ChipBusy;
            if (attempt == 1) return PageProgram::Done;
            std::array<std::uint8_t, kPageSize> back{};
            if (!read_page_checked(address, back)) return PageProgram::LinkFailed;
            const auto diff = std::mismatch(page.begin(), page.end(), back.begin());
            if (diff.first == page.end()) return PageProgram::Done;
            tracef("program page %06x failed: read back differs at byte %d", address,
                   static_cast<int>(diff.first - page.begin()));
            return PageProgram::ReadBackDiffers;
        }
        tracef("program page %06x: %d exchanges not acknowledged (try %d of %d)", address,
               tally.unacknowledged, attempt, kPageProgramTries);
    }
    tracef("program page %06x failed: no acknowledged program in %d tries", address,
           kPageProgramTries);
    return PageProgram::LinkFailed;
}

}  // namespace kestrel
