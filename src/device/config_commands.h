// The commands that change the device configuration block: each runs its mailbox sequence with
// its trace lines and says what happened. Inputs are typed values, already checked (see
// address.h and mac.h); nothing here shows a message or touches a settings file.
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
#include <string_view>

#include "device/ipv4_endpoint.h"
#include "device/mac.h"
#include "link/ipv4.h"
#include "platform/status.h"

namespace kestrel::device {

// Each command's Status: ok when every exchange was acknowledged and clean and every completion
// wait saw the task done; NoAnswer when it stopped because the device sent nothing at all;
// NotAcknowledged otherwise. The reason says why it stopped ("ip write not acknowledged").

struct [[nodiscard]] ApplyIpResult {
    Status status;
    // The link now talks to the new address and port: after an acknowledged commit, or because
    // the device answered there during the commit.
    bool link_followed = false;
    bool answered_at_new_address = false;  // the commit completed at the new address
};

struct [[nodiscard]] MulticastEnableResult {
    Status status;
    std::optional<std::uint8_t> read_back;  // the enable byte as read after the commit
};

// Traces "new......", `typed` (the address as the user gave it), the address "%d.%d.%d.%d",
// then after the ownership wait and the 4-byte write at offset 8 traces "%x" of the port and
// "%x" of its byte-swapped value, waits for ownership again, writes the 2-byte port
// (big-endian) at 12 and commits once. Polls of the commit that get no datagram at the old
// address are tried at the new one. When every step is acknowledged the link follows the
// device to `to`.
ApplyIpResult apply_ip_and_port(std::string_view typed, const Ipv4Endpoint& to);

// Traces `typed_pairs` (the six pairs as typed, joined: "001A2b3c4d5e") and then its first pair,
// waits for ownership and writes the six bytes at offset 0. No commit: the device takes a new
// MAC without one.
[[nodiscard]] Status apply_mac(const Mac& mac, std::string_view typed_pairs);

// Traces "New TS port %d", waits for ownership, writes the port big-endian at 28, commits. Any
// value the dialog's field takes (0 to 65535) is sent as it is.
[[nodiscard]] Status apply_ts_port(std::uint16_t ts_port);

// Writes the enable byte (1 or 0) at offset 16 without an ownership wait, commits, reads the
// byte back and traces "test read: %d" with it (only when it arrived clean).
MulticastEnableResult set_multicast_enable(bool enable);

// Traces "multcast ip......", `typed`, the address "%d.%d.%d.%d", waits for ownership, writes
// the four bytes at 24 and commits.
[[nodiscard]] Status apply_multicast_ip(std::string_view typed, Ipv4Net address);

}  // namespace kestrel::device
