// The host mailbox: three registers through which the device's controller (the "mcu") reads and
// writes its configuration block for us, plus the reset command and the RTP channel close.
//
// Each operation is a fixed sequence of read_reg / write_reg exchanges and keeps no state
// between calls. The one early stop: once the device has sent nothing at all for
// kSilentGiveUp exchanges in a row, an operation traces
// "mailbox : no answer from the device, giving up" and makes no further exchange, so a silent
// device costs a few time-outs instead of minutes of polling. Waits sleep through sleep_ms().
// Only each single exchange holds the link lock; a whole transfer is not atomic against other
// threads. Every exchange here waits the described 50 ms for its reply (FullReplyWait).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "link/ipv4.h"
#include "protocol/host_regs.h"
#include "protocol/register_word.h"
#include "protocol/rtp.h"

namespace kestrel {

inline constexpr int kDoneClearTries = 5;
inline constexpr std::uint32_t kDoneClearSleepMs = 1;
inline constexpr int kTaskDoneTries = 200;
inline constexpr std::uint32_t kTaskDoneSleepMs = 30;
inline constexpr std::uint32_t kOwnershipSleepMs = 1000;
inline constexpr int kOwnershipMaxRounds = 30;
inline constexpr std::uint32_t kCommitPauseMs = 2;
// Exchanges in a row without any datagram after which an operation stops.
inline constexpr int kSilentGiveUp = 6;
// Reads of HOST_CTRL in a row without a clean answer after which the owner counts as unknown.
inline constexpr int kOwnershipUnknownReads = 3;

// The word posted to HOST_CMD: direction, code high and low, 0, offset big-endian.
RegisterWord command_word(std::uint8_t direction, std::uint16_t code, std::uint32_t offset);

// Reads HOST_CMD until byte 0 is 01h: at most 200 reads, 30 ms after each not-done read. The
// 200th read times out even when it shows 01h. On time-out traces
// "check_task_done : time out, host busy ! " and returns false.
bool check_task_done();

// Reads HOST_CMD while byte 0 is 01h (1 ms after each), at most 5 reads, then writes the last
// word read to HOST_CTRL. Returns false when the 5 reads were used up.
bool wait_done_clear();

// What became of a chunk, a block transfer or a commit, as its exchanges went.
struct MailboxResult {
    int exchanges = 0;      // made by this operation (retries at a new address included)
    bool clean = true;      // every exchange acknowledged and clean, nothing stray around them
    bool task_done = true;  // every completion wait saw the done flag in time
    bool silent = false;    // stopped early: kSilentGiveUp exchanges in a row got no datagram
    bool moved = false;     // a commit completed at the address given to mailbox_commit
    // True when the data read (for a read) stands and the device took what was written.
    bool ok() const { return clean && task_done && !silent; }
};

// HOST_DATA <- data; HOST_CMD <- write command; both waits; HOST_CTRL <- command.
MailboxResult mailbox_write_chunk(std::uint32_t offset, std::uint16_t code,
                                  const RegisterWord& data);

// HOST_CMD <- read command; both waits; dest <- HOST_DATA (8 bytes); HOST_CTRL <- command.
// dest is left all zero when the result is not ok().
MailboxResult mailbox_read_chunk(std::uint32_t offset, std::uint16_t code, RegisterWord& dest);

// Block of n bytes (1..65535) as chunks: the short one (n mod 8, or 8) first at the lowest
// offset, then 8-byte chunks in ascending order. Offsets wrap modulo 65536. A chunk that is not
// ok() does not stop the block (except silence); the result tells.
MailboxResult mailbox_write_block(std::uint16_t n, std::uint16_t offset,
                                  std::span<const std::uint8_t> src);

// As above, reading. Every chunk delivers 8 bytes, so a read of fewer than 8 bytes stores 8;
// bytes that would fall past the end of dest are dropped. When the result is not ok() the bytes
// in dest must not be shown or used as the device's.
MailboxResult mailbox_read_block(std::uint16_t n, std::uint16_t offset,
                                 std::span<std::uint8_t> dest);

// Who holds the mailbox, as host_controled_by found it.
enum class MailboxOwner {
    UdpCmd,   // 00h: the mailbox is ours
    Mcu,      // 01h for kOwnershipMaxRounds rounds
    Invalid,  // any other value (traced "[host_controled_by] error!  rd invalid data!")
    Unknown,  // no clean read of HOST_CTRL: a missing reply is no answer, not 00h
};

// Waits until HOST_CTRL byte 0 says the UDP command path holds the mailbox (00h), one read a
// second while the mcu holds it (01h), at most kOwnershipMaxRounds rounds. A read that is not
// clean is made again at once; after kOwnershipUnknownReads of them in a row (or silence) it
// traces "[host_controled_by] no clean answer, owner unknown" and gives Unknown.
MailboxOwner host_controled_by();

// Where a device that takes its new address at the commit answers from then on.
struct CommitMove {
    Ipv4Net addr = 0;        // network order
    std::uint16_t port = 0;  // host order
};

// The commit after a configuration change: zero chunk with code 0000h, a further done-clear
// wait and a 2 ms pause. With moves_to: once the commit command has been acknowledged, an
// exchange that gets no datagram at all is tried again at moves_to; when the device answers
// there the link stays pointed at it (result.moved) and the commit completes there, otherwise
// the link goes back to the old address for the next exchange.
MailboxResult mailbox_commit(std::optional<CommitMove> moves_to = std::nullopt);

// The device reset command (code 0100h) with the caller's data word; no completion wait.
bool reset_device(const RegisterWord& data);

// Closes RTP output channel n (0..63): trace "close rtp %d address : %x" with n and the
// channel's base address, then 00h to its control register C018h + 100h * n.
void close_rtp(int channel);

}  // namespace kestrel
