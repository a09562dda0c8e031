// The host mailbox: three registers through which the device's controller (the "mcu") reads and
// writes its configuration block for us, plus the reset command and the RTP channel close.
//
// Each operation is a fixed sequence of read_reg / write_reg exchanges; none keeps state and
// none stops early. Waits sleep through sleep_ms(). Only each single exchange holds the link
// lock; a whole transfer is not atomic against other threads.
#pragma once

#include <cstdint>
#include <span>

#include "link/register_word.h"

namespace kestrel {

inline constexpr std::uint16_t HOST_CMD = 0x4000;
inline constexpr std::uint16_t HOST_DATA = 0x4008;
inline constexpr std::uint16_t HOST_CTRL = 0x4010;
inline constexpr std::uint16_t RTP_CH_BASE = 0xC000;
inline constexpr std::uint16_t RTP_CH_CTRL = 0xC018;  // of channel 0; stride kRtpChannelStride
inline constexpr std::uint16_t kRtpChannelStride = 0x100;
inline constexpr int kRtpChannels = 64;

inline constexpr std::uint8_t kDirToDevice = 0x00;
inline constexpr std::uint8_t kDirFromDevice = 0x80;
inline constexpr std::uint16_t kCodeTransfer = 0x0900;  // + byte count 1..8
inline constexpr std::uint16_t kCodeCommit = 0x0000;
inline constexpr std::uint16_t kCodeReset = 0x0100;

inline constexpr int kDoneClearTries = 5;
inline constexpr std::uint32_t kDoneClearSleepMs = 1;
inline constexpr int kTaskDoneTries = 200;
inline constexpr std::uint32_t kTaskDoneSleepMs = 30;
inline constexpr std::uint32_t kOwnershipSleepMs = 1000;
inline constexpr int kOwnershipMaxRounds = 30;
inline constexpr std::uint32_t kCommitPauseMs = 2;

// Device configuration block offsets and lengths.
inline constexpr std::uint16_t kCfgMacOffset = 0, kCfgMacLen = 6;
inline constexpr std::uint16_t kCfgIpOffset = 8, kCfgIpLen = 4;
inline constexpr std::uint16_t kCfgPortOffset = 12, kCfgPortLen = 2;
inline constexpr std::uint16_t kCfgMulticastEnOffset = 16, kCfgMulticastEnLen = 1;
inline constexpr std::uint16_t kCfgMulticastIpOffset = 24, kCfgMulticastIpLen = 4;
inline constexpr std::uint16_t kCfgTsPortOffset = 28, kCfgTsPortLen = 2;

// The word posted to HOST_CMD: direction, code high and low, 0, offset big-endian.
RegisterWord command_word(std::uint8_t direction, std::uint16_t code, std::uint32_t offset);

// Reads HOST_CMD until byte 0 is 01h: at most 200 reads, 30 ms after each not-done read. The
// 200th read times out even when it shows 01h. On time-out traces
// "check_task_done : time out, host busy ! " and returns false.
bool check_task_done();

// Reads HOST_CMD while byte 0 is 01h (1 ms after each), at most 5 reads, then writes the last
// word read to HOST_CTRL. Returns false when the 5 reads were used up.
bool wait_done_clear();

// HOST_DATA <- data; HOST_CMD <- write command; both waits; HOST_CTRL <- command. Always true.
bool mailbox_write_chunk(std::uint32_t offset, std::uint16_t code, const RegisterWord& data);

// HOST_CMD <- read command; both waits; dest <- HOST_DATA (8 bytes); HOST_CTRL <- command.
bool mailbox_read_chunk(std::uint32_t offset, std::uint16_t code, RegisterWord& dest);

// Block of n bytes (1..65535) as chunks: the short one (n mod 8, or 8) first at the lowest
// offset, then 8-byte chunks in ascending order. Offsets wrap modulo 65536.
void mailbox_write_block(std::uint16_t n, std::uint16_t offset, std::span<const std::uint8_t> src);

// As above, reading. Every chunk delivers 8 bytes, so a read of fewer than 8 bytes stores 8;
// bytes that would fall past the end of dest are dropped.
void mailbox_read_block(std::uint16_t n, std::uint16_t offset, std::span<std::uint8_t> dest);

// Waits until HOST_CTRL byte 0 says the UDP command path holds the mailbox (00h), one read a
// second while the mcu holds it (01h), at most kOwnershipMaxRounds rounds. Returns true when
// the mailbox is ours; the caller goes on in every case.
bool host_controled_by();

// The commit after a configuration change: zero chunk with code 0000h, a further done-clear
// wait and a 2 ms pause.
void mailbox_commit();

// The device reset command (code 0100h) with the caller's data word; no completion wait.
bool reset_device(const RegisterWord& data);

// Closes RTP output channel n (0..63): trace "close rtp %d address : %x" with n and the
// channel's base address, then 00h to its control register C018h + 100h * n.
void close_rtp(int channel);

}  // namespace kestrel
