// Programming a page in pieces of 4 bytes, each a Page Program of one SPI_PP_HEAD
// (spi_program_piece), for a link that keeps spoiling whole-page loads: a piece the device
// takes twice, or never, can only program that piece's bytes with their own values, so no
// piece ever needs an erase. Call on the flash worker, which holds the link lock.
#pragma once

#include <cstdint>
#include <span>

#include "flash/core/page_io.h"

namespace kestrel {

// Rounds of pieces and a read-back that a page gets before it is given up.
inline constexpr int kPieceRounds = 8;

// Programs the pieces of the page at address where now (what the chip is taken to hold, such
// as all FFh after an erase) differs from want, each once the chip reads ready, then reads the
// page back, and again for the pieces still wrong. Done when the page reads back as want;
// ReadBackDiffers when it holds bits no program can set again; LinkFailed when the chip never
// read ready, a read-back ran out of tries, or kPieceRounds rounds left pieces wrong.
[[nodiscard]] PageProgram program_page_in_pieces(std::uint32_t address,
                                                 std::span<const std::uint8_t, kPageSize> want,
                                                 std::span<const std::uint8_t, kPageSize> now);

// Write Enable and a whole-page program (program_page_checked with check); when every whole
// load came apart on a link that still answers (LinkFailed with the device answering), the
// page is programmed in pieces over now instead.
[[nodiscard]] PageProgram program_page_or_pieces(std::uint32_t address,
                                                 std::span<const std::uint8_t, kPageSize> want,
                                                 std::span<const std::uint8_t, kPageSize> now,
                                                 ProgramCheck check);

}  // namespace kestrel
