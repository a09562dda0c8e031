// Mending a page that no program can fix (its load lost or doubled a word, so it holds bits
// only an erase sets again) by erasing just its 4 KiB sector and programming the sector's pages
// again. Call on the flash worker, which holds the link lock, after the chip erase of a write.
#pragma once

#include <cstdint>
#include <span>

#include "flash/core/page_io.h"

namespace kestrel {

// Repairs of one sector a write makes at most before it gives the page up. On a chip whose
// page latch does not wrap (spi_program_page's flush can't empty it), a duplicated data write
// spoils about one page load in thirty at 0.1% duplicated requests, so a repair of up to 16
// pages is itself spoiled up to four times in ten; the write loads a sector's pages in pieces,
// which no duplicate spoils, from its third repair on.
inline constexpr int kSectorRepairs = 16;

// How a repair loads the sector's pages: whole (as a write does), or in pieces of 4 bytes,
// which a link that duplicates requests cannot spoil (program_page_in_pieces).
enum class RepairLoads { Whole, Pieces };

// Erases the sector that holds page (Write Enable, Sector Erase, a status wait with pauses)
// and programs its pages from its first one to last_page again from image (the image padded
// with FFh; pages that are then all FFh are left erased). With ProgramCheck::Whole each page
// is read back whole, blank ones too, and it is Done when every one of them reads back right;
// with ProgramCheck::Later none is (the caller reads every page from the first to last_page
// back itself, blank ones too), and it is Done once every program went through. Otherwise how
// the first that failed did (LinkFailed also when the erase was not acknowledged or never
// finished). Pieces are always read back (program_page_in_pieces).
[[nodiscard]] PageProgram repair_sector(int page, int last_page,
                                        std::span<const std::uint8_t> image,
                                        RepairLoads loads = RepairLoads::Whole,
                                        ProgramCheck check = ProgramCheck::Whole);

// The first page of the sector that holds page.
[[nodiscard]] inline int sector_first_page(int page) {
    return page - page % kPagesPerSector;
}

}  // namespace kestrel
