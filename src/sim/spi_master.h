// The device's SPI master: the registers SPI_INIT, SPI_CTRL, SPI_CMD, SPI_PP_HEAD, SPI_PP_DATA,
// SPI_PP_TAIL and SPI_ACCESS (00h to 30h), driving one NOR flash chip.
//
// A write to SPI_CTRL runs one phase: with the start flag the chip is selected (released first
// if a transaction was still open), with the send flag the first n bytes of SPI_CMD are shifted
// out, with the receive flag m bytes are shifted in (FFh sent meanwhile) and kept for a read of
// SPI_CTRL, with the end flag the chip is released. A phase without the receive flag leaves
// nothing to read (zeros). The page program registers shift their bytes straight to the chip:
// SPI_PP_HEAD starts a transaction and shifts all 8 bytes, SPI_PP_DATA shifts 8, SPI_PP_TAIL
// shifts its first 4 and releases the chip. So a lost SPI_PP_DATA write leaves the chip with a
// page whose later bytes are shifted by 8, as it would on real hardware.
#pragma once

#include <cstdint>

#include "sim/nor_flash.h"
#include "sim/register_bank.h"

namespace kestrel::sim {

inline constexpr std::uint16_t kSpiFirstAddress = 0x00;
inline constexpr std::uint16_t kSpiLastAddress = 0x37;

class SpiMaster : public RegisterBank {
  public:
    explicit SpiMaster(NorFlash& chip) : chip_(chip) {}

    RegisterWord read(std::uint16_t address) override;
    void write(std::uint16_t address, const RegisterWord& word) override;

    NorFlash& chip() { return chip_; }
    const RegisterWord& access_word() const { return access_; }
    int inits() const { return inits_; }

  private:
    void run_phase(const RegisterWord& control);
    void shift_out(const RegisterWord& word, std::size_t n);
    void restart();

    NorFlash& chip_;
    RegisterWord cmd_{};
    RegisterWord received_{};
    RegisterWord access_{};
    int inits_ = 0;
};

}  // namespace kestrel::sim
