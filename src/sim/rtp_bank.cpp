#include "sim/rtp_bank.h"

#include "protocol/rtp.h"

namespace kestrel::sim {

int RtpBank::channel_of(std::uint16_t address) {
    if (address < RTP_CH_CTRL) return -1;
    const int delta = address - RTP_CH_CTRL;
    if (delta % kRtpChannelStride != 0) return -1;
    const int channel = delta / kRtpChannelStride;
    return channel < kSimRtpChannels ? channel : -1;
}

RegisterWord RtpBank::read(std::uint16_t address) {
    const int channel = channel_of(address);
    return channel < 0 ? RegisterWord{} : regs_[static_cast<std::size_t>(channel)];
}

void RtpBank::write(std::uint16_t address, const RegisterWord& word) {
    const int channel = channel_of(address);
    if (channel < 0) return;
    regs_[static_cast<std::size_t>(channel)] = word;
    open_[static_cast<std::size_t>(channel)] = word[0] != kRtpChannelClosed;
}

}  // namespace kestrel::sim
