// The SPI flash command layer: the chip operations as fixed sequences of register exchanges
// (SPI_INIT, SPI_CMD, SPI_CTRL, SPI_PP_HEAD/DATA/TAIL, SPI_ACCESS), nothing retried, nothing
// kept between calls. Call on the flash worker, which holds the link lock for its whole run.
//
// Each operation can tally its exchanges in a LinkTally, so that a caller can tell a run the
// device fully acknowledged from one it did not; the tally changes no traffic.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "flash/core/flash_timing.h"
#include "link/exchange.h"
#include "protocol/spi_regs.h"

namespace kestrel {

// 24-bit flash address, most significant byte first.
using FlashAddress = std::array<std::uint8_t, 3>;
using FlashId = std::array<std::uint8_t, 3>;

inline constexpr FlashAddress flash_address(std::uint32_t address) {
    return {static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8),
            static_cast<std::uint8_t>(address)};
}

inline constexpr std::uint32_t address_value(const FlashAddress& a) {
    return (std::uint32_t{a[0]} << 16) | (std::uint32_t{a[1]} << 8) | a[2];
}

struct LinkTally {
    int exchanges = 0;
    int unacknowledged = 0;  // exchanges without a fitting, acknowledged reply
    int doubtful = 0;        // acknowledged, but with a doubt (see Doubt) the caller must settle
    [[nodiscard]] bool clean() const { return unacknowledged == 0; }
    [[nodiscard]] bool trusted() const { return unacknowledged == 0 && doubtful == 0; }
};

// One exchange, tallied.
ExchangeResult spi_put(std::uint16_t reg, const RegisterWord& word, LinkTally* tally);
ExchangeResult spi_get(std::uint16_t reg, LinkTally* tally, ReadKeys keys = {});

// SPI_INIT, Release from Deep Power-down, Read Identification; id gets the three bytes read
// from SPI_CTRL (manufacturer, memory type, capacity). Always true.
bool spi_read_id(FlashId& id, LinkTally* tally = nullptr);

// Write Enable, Chip Erase, then a 13000 ms sleep; the status is not read. Always true.
bool spi_chip_erase(LinkTally* tally = nullptr);

// Write Enable and Chip Erase without the pause.
void spi_chip_erase_send(LinkTally* tally);

// Write Enable, then Sector Erase of the 4 KiB sector that holds address (20h and the three
// address bytes in one phase, control word E0h 40h); the status is not read.
void spi_sector_erase(std::uint32_t address, LinkTally* tally = nullptr);

// 256 bytes from address into dest: Read Data with the address, then 32 receive phases of 8
// bytes in one open transaction (65 exchanges). Always 1.
int spi_read_page(const FlashAddress& address, std::span<std::uint8_t, kPageSize> dest,
                  LinkTally* tally = nullptr);

inline constexpr int kProgramAbandoned = -1;

// Write Enable, the page through SPI_PP_HEAD, 31 x SPI_PP_DATA and SPI_PP_TAIL, then status
// polls without pause. 1 when the chip was ready within 249 polls; 0 after the 250th poll,
// with the trace "write 16 bit---------------------------------------------register". A poll
// that was not trusted, or a "ready" the link could not confirm, counts as busy.
// kProgramAbandoned when an exchange of the load was not acknowledged, came with strays, or may
// have been an earlier word's late acknowledgement, or the link was not in step before the
// tail: SPI_PP_TAIL is then never sent and the page must be loaded again from its write enable.
// A load given up for a stray or the link out of step (a word the device may have taken twice)
// is followed by a page of FFh data words, so that a chip whose page latch wraps, as NOR chips'
// do, holds nothing to program when the next transaction releases it.
int spi_program_page(const FlashAddress& address, std::span<const std::uint8_t, kPageSize> page,
                     LinkTally* tally = nullptr);

// Write Enable, then a Page Program of one 4-byte piece at address (which need not start a
// page) in a single SPI_PP_HEAD: no data word and no tail, so the transaction holds nothing but
// this datagram, and the next phase that starts a transaction (the status read) ends it and
// starts the program. A head the device takes twice, however late, programs only these bytes
// here. The status is not read. True when every exchange was acknowledged.
inline constexpr std::size_t kPieceBytes = kPageHeadBytes;
bool spi_program_piece(std::uint32_t address, std::span<const std::uint8_t, kPieceBytes> bytes,
                       LinkTally* tally = nullptr);

// The single steps the procedures issue themselves.
void spi_write_enable(LinkTally* tally = nullptr);
void spi_write_disable(LinkTally* tally = nullptr);
// Read Status Register: status gets byte 0 of SPI_CTRL. True when the three exchanges were
// acknowledged and a "ready" cannot be a stale reply; otherwise the byte cannot be trusted.
bool spi_read_status(std::uint8_t& status, LinkTally* tally = nullptr);
// Sets the flash access bit: reads SPI_ACCESS, sets bit 0 of byte 0, writes the word back. A
// read that was not acknowledged is made again (at most 3 reads), so the other bits are never
// overwritten with the zeros of a lost reply while the link still answers.
void spi_set_access_bit(LinkTally* tally = nullptr);

}  // namespace kestrel
