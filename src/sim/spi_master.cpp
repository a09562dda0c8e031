#include "sim/spi_master.h"

#include <algorithm>

#include "protocol/spi_regs.h"

namespace kestrel::sim {
namespace {

constexpr std::size_t kMaxPhaseBytes = 8;
constexpr std::uint8_t kDummy = 0xFF;

}  // namespace

RegisterWord SpiMaster::read(std::uint16_t address) {
    switch (address) {
        case SPI_CTRL:
            return received_;
        case SPI_ACCESS:
            return access_;
        default:
            return RegisterWord{};
    }
}

void SpiMaster::write(std::uint16_t address, const RegisterWord& word) {
    switch (address) {
        case SPI_INIT:
            if (word[0] & kSpiInitWord) {
                ++inits_;
                chip_.deselect();
                received_ = {};
            }
            break;
        case SPI_CTRL:
            run_phase(word);
            break;
        case SPI_CMD:
            cmd_ = word;
            break;
        case SPI_PP_HEAD:
            restart();
            shift_out(word, word.size());
            break;
        case SPI_PP_DATA:
            shift_out(word, word.size());
            break;
        case SPI_PP_TAIL:
            shift_out(word, kPageTailBytes);
            chip_.deselect();
            break;
        case SPI_ACCESS:
            access_ = word;
            break;
        default:
            break;
    }
}

void SpiMaster::run_phase(const RegisterWord& control) {
    const std::uint8_t flags = control[0];
    const std::size_t sent = std::min<std::size_t>(control[1] >> 4, kMaxPhaseBytes);
    const std::size_t wanted = std::min<std::size_t>(control[1] & 0x0F, kMaxPhaseBytes);
    received_ = {};
    if (flags & kSpiStart) restart();
    if (flags & kSpiSend) shift_out(cmd_, sent);
    if (flags & kSpiReceive) {
        for (std::size_t i = 0; i < wanted; ++i)
            received_[i] = chip_.transfer(kDummy);
    }
    if (flags & kSpiEnd) chip_.deselect();
}

void SpiMaster::shift_out(const RegisterWord& word, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        chip_.transfer(word[i]);
}

void SpiMaster::restart() {
    chip_.deselect();
    chip_.select();
}

}  // namespace kestrel::sim
