// The 64 RTP output channels' control registers (C018h + 100h * n): byte 0 = 00h closes one.
#pragma once

#include <array>
#include <cstdint>

#include "sim/register_bank.h"

namespace kestrel::sim {

inline constexpr int kSimRtpChannels = 64;

class RtpBank : public RegisterBank {
  public:
    RtpBank() { open_.fill(true); }
    RegisterWord read(std::uint16_t address) override;
    void write(std::uint16_t address, const RegisterWord& word) override;

    bool is_open(int channel) const { return open_.at(static_cast<std::size_t>(channel)); }
    void open_all() { open_.fill(true); }
    // The register of channel n, or -1 when address is no channel control register.
    static int channel_of(std::uint16_t address);

  private:
    std::array<bool, kSimRtpChannels> open_{};
    std::array<RegisterWord, kSimRtpChannels> regs_{};
};

}  // namespace kestrel::sim
