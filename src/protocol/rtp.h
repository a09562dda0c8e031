// The RTP output channels: 64 register banks 100h apart from C000h; writing 00h to a channel's
// control register (C018h in channel 0) closes it.
#pragma once

#include <cstdint>

namespace kestrel {

inline constexpr std::uint16_t RTP_CH_BASE = 0xC000;
inline constexpr std::uint16_t RTP_CH_CTRL = 0xC018;  // of channel 0; stride kRtpChannelStride
inline constexpr std::uint16_t kRtpChannelStride = 0x100;
inline constexpr int kRtpChannels = 64;
inline constexpr std::uint8_t kRtpChannelClosed = 0x00;  // RTP_CH_CTRL byte 0

}  // namespace kestrel
