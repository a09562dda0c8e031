// The commands that change the device configuration block: each runs its mailbox sequence with
// its trace lines and says what happened. Inputs are already checked (see address.h and
// hex_pairs.h); nothing here shows a message or touches a settings file.
//
// A command stops at its first step that fails: an ownership wait that got no clean answer,
// a field write that was not acknowledged (no commit follows a write that may not have landed),
// or a device that went silent (the mailbox gives up after a few time-outs, so a silent device
// costs well under a second). It then traces "<command> : stopped, <why>". An mcu that keeps
// the mailbox, or an owner value that is neither 00h nor 01h, is traced and the command goes
// on, as the device may still take the write.
//
// All run on the calling thread and must not run while a flash worker holds the link.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "device/hex_pairs.h"
#include "link/ipv4.h"

namespace kestrel::device {

struct CommandOutcome {
    // Every exchange acknowledged and clean and every completion wait saw the task done.
    bool acknowledged = false;
    bool device_silent = false;  // stopped because the device sent nothing at all
    std::string failure;         // empty when acknowledged, else why the command stopped
};

struct [[nodiscard]] CommandResult : CommandOutcome {};

struct [[nodiscard]] ApplyIpResult : CommandOutcome {
    // The link now talks to the new address and port: after an acknowledged commit, or because
    // the device answered there during the commit.
    bool link_followed = false;
    bool answered_at_new_address = false;  // the commit completed at the new address
};

struct [[nodiscard]] MulticastEnableResult : CommandOutcome {
    std::optional<std::uint8_t> read_back;  // the enable byte as read after the commit
};

// Traces "new......", `typed`, the address "%d.%d.%d.%d", then after the ownership wait and the
// 4-byte write at offset 8 traces "%x" of the port and "%x" of its byte-swapped value, waits for
// ownership again, writes the 2-byte port (big-endian) at 12 and commits once. Polls of the
// commit that get no datagram at the old address are tried at the new one. When every step is
// acknowledged the link follows the device to `address`:`port`.
ApplyIpResult apply_ip_and_port(const std::string& typed, Ipv4Net address, std::uint16_t port);

// Traces the six fields joined and then field 0, waits for ownership and writes the six bytes
// at offset 0. No commit: the device takes a new MAC without one. Fields that are not two hex
// digits each are refused before anything is sent (failure set, nothing traced).
CommandResult apply_mac(const MacFields& fields);

// Traces "New TS port %d", waits for ownership, writes the port big-endian at 28, commits.
CommandResult apply_ts_port(std::uint16_t ts_port);

// Writes the enable byte (1 or 0) at offset 16 without an ownership wait, commits, reads the
// byte back and traces "test read: %d" with it (only when it arrived clean).
MulticastEnableResult set_multicast_enable(bool enable);

// Traces "multcast ip......", `typed`, the address "%d.%d.%d.%d", waits for ownership, writes
// the four bytes at 24 and commits.
CommandResult apply_multicast_ip(const std::string& typed, Ipv4Net address);

}  // namespace kestrel::device
