// The host mailbox registers through which the device's controller (the "mcu") reads and writes
// its configuration block, and the words that pass through them.
//
// HOST_CMD takes a command word: byte 0 the direction, bytes 1..2 the command code (high byte
// first), byte 3 zero, bytes 4..7 the block offset big-endian. Reading HOST_CMD shows the task
// done flag in byte 0. HOST_DATA holds one 8-byte chunk. Writing the command word again to
// HOST_CTRL hands the mailbox back; reading HOST_CTRL byte 0 tells who holds it.
#pragma once

#include <cstdint>

namespace kestrel {

inline constexpr std::uint16_t HOST_CMD = 0x4000;
inline constexpr std::uint16_t HOST_DATA = 0x4008;
inline constexpr std::uint16_t HOST_CTRL = 0x4010;

// Command word byte 0.
inline constexpr std::uint8_t kDirToDevice = 0x00;
inline constexpr std::uint8_t kDirFromDevice = 0x80;

// Command codes.
inline constexpr std::uint16_t kCodeTransfer = 0x0900;  // + byte count 1..8
inline constexpr std::uint16_t kCodeCommit = 0x0000;
inline constexpr std::uint16_t kCodeReset = 0x0100;

// HOST_CMD byte 0 once the device has done the posted task.
inline constexpr std::uint8_t kTaskDone = 0x01;

// HOST_CTRL byte 0: who holds the mailbox.
inline constexpr std::uint8_t kOwnerUdpCmd = 0x00;
inline constexpr std::uint8_t kOwnerMcu = 0x01;

}  // namespace kestrel
