// The device's SPI master registers, the control words written to SPI_CTRL, the serial NOR
// instructions, the flash geometry and the chip id the tool expects.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrel {

inline constexpr std::uint16_t SPI_INIT = 0x00;
inline constexpr std::uint16_t SPI_CTRL = 0x08;
inline constexpr std::uint16_t SPI_CMD = 0x10;
inline constexpr std::uint16_t SPI_PP_HEAD = 0x18;
inline constexpr std::uint16_t SPI_PP_DATA = 0x20;
inline constexpr std::uint16_t SPI_PP_TAIL = 0x28;
inline constexpr std::uint16_t SPI_ACCESS = 0x30;

// Control word byte 0: phase flags.
inline constexpr std::uint8_t kSpiStart = 0x80;  // select the chip (a new transaction)
inline constexpr std::uint8_t kSpiEnd = 0x40;    // release the chip after this phase
inline constexpr std::uint8_t kSpiSend = 0x20;   // send the bytes held in SPI_CMD
inline constexpr std::uint8_t kSpiReceive = 0x10;
// Control word byte 1: bytes sent (high nibble) and received (low nibble).
inline constexpr std::uint8_t spi_counts(int sent, int received) {
    return static_cast<std::uint8_t>((sent << 4) | received);
}

// The control words the tool uses (byte 0, byte 1).
inline constexpr std::array<std::uint8_t, 2> kCtrlSendOne{0xE0, 0x10};
inline constexpr std::array<std::uint8_t, 2> kCtrlReadId{0xF0, 0x13};
inline constexpr std::array<std::uint8_t, 2> kCtrlReadStatus{0xF0, 0x11};
inline constexpr std::array<std::uint8_t, 2> kCtrlReadFirst{0xB0, 0x48};
inline constexpr std::array<std::uint8_t, 2> kCtrlReadNext{0x10, 0x08};
inline constexpr std::array<std::uint8_t, 2> kCtrlReadLast{0x50, 0x08};
// Start, send 4, receive 8, end: a whole Read Data transaction for a last chunk read again.
inline constexpr std::array<std::uint8_t, 2> kCtrlReadOnly{0xF0, 0x48};
// Start, send 4, end; nothing received: Sector Erase with its three address bytes.
inline constexpr std::array<std::uint8_t, 2> kCtrlSendFour{0xE0, 0x40};

inline constexpr std::uint8_t kSpiInitWord = 0x01;
inline constexpr std::uint8_t kAccessBit = 0x01;  // SPI_ACCESS byte 0

// Serial NOR instructions.
inline constexpr std::uint8_t kCmdWriteEnable = 0x06;
inline constexpr std::uint8_t kCmdWriteDisable = 0x04;
inline constexpr std::uint8_t kCmdChipErase = 0xC7;
inline constexpr std::uint8_t kCmdSectorErase = 0x20;  // then 3 address bytes, MSB first
inline constexpr std::uint8_t kCmdReadData = 0x03;
inline constexpr std::uint8_t kCmdPageProgram = 0x02;
inline constexpr std::uint8_t kCmdReadStatus = 0x05;
inline constexpr std::uint8_t kCmdReadId = 0x9F;
inline constexpr std::uint8_t kCmdReleasePowerDown = 0xAB;
inline constexpr std::uint8_t kStatusBusy = 0x01;  // write in progress

// Geometry: 16384 pages of 256 bytes.
inline constexpr std::size_t kPageSize = 256;
inline constexpr int kFlashPages = 16384;
inline constexpr std::size_t kFlashSize = kPageSize * kFlashPages;
inline constexpr std::size_t kSectorSize = 4096;  // what Sector Erase sets to FFh
inline constexpr int kPagesPerSector = static_cast<int>(kSectorSize / kPageSize);
inline constexpr std::size_t kPageReadChunks = kPageSize / 8;
inline constexpr std::size_t kPageHeadBytes = 4;
inline constexpr std::size_t kPageTailBytes = 4;
inline constexpr std::size_t kPageDataWords = 31;

inline constexpr std::array<std::uint8_t, 3> kExpectedFlashId{0xC2, 0x20, 0x16};

}  // namespace kestrel
