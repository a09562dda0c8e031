// The SPI flash command layer: the chip operations as fixed sequences of register exchanges
// (SPI_INIT, SPI_CMD, SPI_CTRL, SPI_PP_HEAD/DATA/TAIL, SPI_ACCESS), nothing retried, nothing
// kept between calls.
//
// Each operation can tally its exchanges in a LinkTally, so that a caller can tell a run the
// device fully acknowledged from one it did not; the tally changes no traffic. The callers hold
// the link lock for the whole flash procedure; every exchange takes it again by itself.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "flash/core/flash_timing.h"
#include "protocol/spi_regs.h"

namespace kestrel {

// 24-bit flash address, most significant byte first.
using FlashAddress = std::array<std::uint8_t, 3>;
using FlashId = std::array<std::uint8_t, 3>;

inline constexpr FlashAddress flash_address(std::uint32_t address) {
    return {static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8),
            static_cast<std::uint8_t>(address)};
}

struct LinkTally {
    int exchanges = 0;
    int unacknowledged = 0;
    // Acknowledged exchanges whose reply may have been an earlier request's, come late (see
    // last_reply_may_be_stale); what they did must be checked.
    int maybe_stale = 0;
    // Page-load words given up only because their acknowledgement came slowly (LoadPace::Prompt);
    // also counted as unacknowledged.
    int paced_out = 0;
    // Chunks of a page read that read back as SPI_CTRL's last reply (the chunk before, or an
    // earlier transaction's last read) on a link that has shown strays (see
    // last_reply_copy_possible): the flash may hold those bytes twice, or a copy stood in for a
    // lost request (the chunk's read, or its receive phase, after which every later chunk comes
    // one place late); also chunks whose reply may have come late (see last_reply_may_be_stale),
    // since a late reply that came twice agrees with the read made to check it. Not a fault; a
    // read with any stands only when another read agrees.
    int unproven = 0;
    bool clean() const { return unacknowledged == 0; }
};

// SPI_INIT, Release from Deep Power-down, Read Identification; id gets the three bytes read
// from SPI_CTRL (manufacturer, memory type, capacity). Always true.
bool spi_read_id(FlashId& id, LinkTally* tally = nullptr);

// Write Enable, Chip Erase, then a 13000 ms sleep; the status is not read. Always true.
bool spi_chip_erase(LinkTally* tally = nullptr);

// 256 bytes from address into dest: Read Data with the address, then 32 receive phases of 8
// bytes in one open transaction (65 exchanges). Always 1.
int spi_read_page(const FlashAddress& address, std::span<std::uint8_t, kPageSize> dest,
                  LinkTally* tally = nullptr);

// The 8-byte chunks first..31 of the page at address, in one Read Data transaction opened at
// address + 8 x first (control word B0 48, or F0 48 when only the last chunk is left), into the
// same places of dest. Returns the first chunk whose phase or read was not acknowledged (its
// bytes, and those of any later chunk, cannot be trusted), or 32. With stop_at_fault the
// transaction is abandoned there; without it all chunks are still read. From chunk 0 on a link
// that acknowledges everything, both send exactly the exchanges of spi_read_page.
std::size_t spi_read_chunks(const FlashAddress& address, std::size_t first,
                            std::span<std::uint8_t, kPageSize> dest, bool stop_at_fault,
                            LinkTally* tally = nullptr);

inline constexpr int kProgramAbandoned = -1;

// How spi_program_page judges the acknowledgements of its load.
enum class LoadPace {
    // A word counts unless its acknowledgement may be the late reply of an earlier word that
    // timed out: a load over a link that lost nothing always reaches its tail.
    Any,
    // Also not when it may be a copy of the previous word's acknowledgement (it came later than
    // the device promptly answers, see last_reply_may_be_copy): a copy standing in for a word
    // the device never got shifts the rest of the page, which no later program can mend. A slow
    // moment of a clean link costs a load again.
    Prompt,
};

// Write Enable, the page through SPI_PP_HEAD, 31 x SPI_PP_DATA and SPI_PP_TAIL, then status
// polls without pause. A poll that was not clean, or a "ready" the link could not confirm,
// counts as busy. 1 when the chip was ready within 249 polls; 0 after the 250th poll, with the
// trace "write 16 bit---------------------------------------------register".
// kProgramAbandoned when an exchange of the load was not clean, its acknowledgement may have
// been the late reply of an earlier one (or, with LoadPace::Prompt, a copy of one), or the link
// was not in step before the tail: SPI_PP_TAIL is then never sent. The load stops at the first such word, so a chip that programs what it took at the next
// chip select holds only bytes in their places; the page must be loaded again from its write
// enable.
int spi_program_page(const FlashAddress& address, std::span<const std::uint8_t, kPageSize> page,
                     LinkTally* tally = nullptr, LoadPace pace = LoadPace::Any);

// The single steps the procedures issue themselves.
void spi_write_enable(LinkTally* tally = nullptr);
void spi_write_disable(LinkTally* tally = nullptr);
// Read Status Register: status gets byte 0 of SPI_CTRL. True when all three exchanges were
// acknowledged; otherwise the byte cannot be trusted.
bool spi_read_status(std::uint8_t& status, LinkTally* tally = nullptr);
// Sets the flash access bit: reads SPI_ACCESS, sets bit 0 of byte 0, writes the word back. A
// read that was not acknowledged is made again (at most 3 reads), so the other bits are never
// overwritten with the zeros of a lost reply while the link still answers.
void spi_set_access_bit(LinkTally* tally = nullptr);

}  // namespace kestrel
