#include "flash/core/sector_repair.h"

#include <algorithm>
#include <array>

#include "flash/core/chip_pages.h"
#include "flash/core/piece_program.h"
#include "flash/core/recovery_stats.h"
#include "flash/core/spi_flash.h"
#include "platform/sleep.h"
#include "platform/trace.h"

namespace kestrel {
namespace {

constexpr int kEraseTries = 8;
// A sector erase takes tens to hundreds of milliseconds: polled with a pause, up to 2 s.
constexpr int kSectorWaitPolls = 400;
constexpr std::uint32_t kSectorPollSleepMs = 5;

bool erase_sector(std::uint32_t address) {
    for (int attempt = 1; attempt <= kEraseTries; ++attempt) {
        if (!chip_ready(kProgramMaxPolls)) return false;
        LinkTally tally;
        spi_sector_erase(address, &tally);
        if (tally.trusted()) return true;
        tracef("sector erase %06x: %d exchanges not acknowledged (try %d of %d)", address,
               tally.unacknowledged + tally.doubtful, attempt, kEraseTries);
    }
    return false;
}

bool sector_erased() {
    for (int poll = 0; poll < kSectorWaitPolls; ++poll) {
        if (chip_ready(1)) return true;
        sleep_ms(kSectorPollSleepMs);
    }
    return false;
}

// Programs page k from the image (unless it is blank) and, as check says, reads it back whole,
// once: the sector's pages stand only on what the chip holds, also where the erase itself may
// not have happened. (A program in pieces is done only once its own read-back came right.)
PageProgram program_and_check(int k, std::span<const std::uint8_t> image, RepairLoads loads,
                              ProgramCheck check) {
    const FlashPage want = expected_page(image, k);
    const auto address = static_cast<std::uint32_t>(static_cast<std::size_t>(k) * kPageSize);
    const FlashPage erased = erased_page();
    if (loads == RepairLoads::Pieces) return program_page_in_pieces(address, want, erased);
    if (!blank_page(want)) return program_page_or_pieces(address, want, erased, check);
    if (check == ProgramCheck::Later) return PageProgram::Done;
    std::array<std::uint8_t, kPageSize> back{};
    if (!chip_ready(kProgramMaxPolls) || !read_page_checked(address, back))
        return PageProgram::LinkFailed;
    if (back == want) return PageProgram::Done;
    tracef("sector repair: page %d reads back wrong", k);
    return PageProgram::ReadBackDiffers;
}

}  // namespace

PageProgram repair_sector(int page, int last_page, std::span<const std::uint8_t> image,
                          RepairLoads loads, ProgramCheck check) {
    const int first = sector_first_page(page);
    const auto address = static_cast<std::uint32_t>(static_cast<std::size_t>(first) * kPageSize);
    tracef(" page %d can't be mended by a program: erasing sector %06x ", page, address);
    if (!erase_sector(address) || !sector_erased()) {
        tracef("sector erase %06x failed", address);
        return PageProgram::LinkFailed;
    }
    count_sector_erased();
    const int last = std::min(last_page, first + kPagesPerSector - 1);
    for (int k = first; k <= last; ++k) {
        const PageProgram p = program_and_check(
            k, image, loads, check == ProgramCheck::Later ? check : ProgramCheck::Whole);
        if (p != PageProgram::Done) return p;
    }
    return PageProgram::Done;
}

}  // namespace kestrel
