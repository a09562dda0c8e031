#include "flash/core/piece_program.h"

#include <algorithm>
#include <array>

#include "flash/core/recovery_stats.h"
#include "flash/core/spi_flash.h"
#include "link/transport.h"
#include "platform/trace.h"

namespace kestrel {
namespace {

constexpr std::size_t kPieces = kPageSize / kPieceBytes;

std::span<const std::uint8_t, kPieceBytes> piece(std::span<const std::uint8_t, kPageSize> page,
                                                 std::size_t p) {
    return page.subspan(p * kPieceBytes).first<kPieceBytes>();
}

// Polls the status until it reads ready. Only the read-back proves what a piece did, so a
// "ready" the link cannot confirm will do: a piece sent to a chip still busy is not programmed
// and is sent again in the next round.
PageProgram wait_ready() {
    for (int poll = 0; poll < kProgramMaxPolls; ++poll) {
        if (link_silent_run() >= kDeviceGoneSilentRun) return PageProgram::LinkFailed;
        std::uint8_t status = 0;
        if (spi_read_status(status) && (status & kStatusBusy) == 0) return PageProgram::Done;
    }
    return PageProgram::ChipBusy;
}

bool same(std::span<const std::uint8_t, kPieceBytes> a,
          std::span<const std::uint8_t, kPieceBytes> b) {
    return std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace

PageProgram program_page_in_pieces(std::uint32_t address,
                                   std::span<const std::uint8_t, kPageSize> want,
                                   std::span<const std::uint8_t, kPageSize> now) {
    count_page_in_pieces();
    std::array<std::uint8_t, kPageSize> held{};
    std::copy(now.begin(), now.end(), held.begin());
    for (int round = 1; round <= kPieceRounds; ++round) {
        if (round > 1) count_page_reprogrammed();
        for (std::size_t p = 0; p < kPieces; ++p) {
            if (same(piece(held, p), piece(want, p))) continue;
            if (const PageProgram ready = wait_ready(); ready != PageProgram::Done) return ready;
            (void)spi_program_piece(address + static_cast<std::uint32_t>(p * kPieceBytes),
                                    piece(want, p));
        }
        if (!chip_ready(kProgramMaxPolls) || !read_page_expecting(address, held, want))
            return PageProgram::LinkFailed;
        if (std::equal(held.begin(), held.end(), want.begin())) return PageProgram::Done;
        const int bad = first_unprogrammable(held, want);
        if (bad >= 0) {
            const auto i = static_cast<std::size_t>(bad);
            tracef(
                "program page %06x in pieces failed: byte %d reads %02x, can't be programmed "
                "to %02x",
                address, bad, held[i], want[i]);
            return PageProgram::ReadBackDiffers;
        }
    }
    tracef("program page %06x failed: not programmed in %d rounds of pieces", address,
           kPieceRounds);
    return PageProgram::LinkFailed;
}

PageProgram program_page_or_pieces(std::uint32_t address,
                                   std::span<const std::uint8_t, kPageSize> want,
                                   std::span<const std::uint8_t, kPageSize> now,
                                   ProgramCheck check) {
    spi_write_enable();
    const PageProgram p = program_page_checked(address, want, check);
    if (p != PageProgram::LinkFailed || link_silent_run() >= kDeviceGoneSilentRun) return p;
    tracef("program page %06x: whole loads keep coming apart, programming it in pieces", address);
    return program_page_in_pieces(address, want, now);
}

}  // namespace kestrel
