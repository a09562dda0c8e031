// MAC addresses handed out from a range, never twice. Each range has a state file of its own
// (mac_state.h) that records the range and every address handed out; it is read and appended
// to under an exclusive lock (a separate ".lock" file, so that a compacting rename cannot slip
// between two processes), and each address is synced to it before it is given out. A killed
// run, runs one after the other or runs at once never get the same address; a state file that
// can't be read exactly stops the pool instead of starting the range again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace kestrel::cli {

using Mac48 = std::uint64_t;  // the six bytes, first byte in bits 47..40

std::optional<Mac48> parse_mac(std::string_view text);  // "a1:b2:c3:d4:e5:f6"
std::string mac_text(Mac48 mac);                        // lowercase, colons

struct MacRange {
    Mac48 first = 0;
    Mac48 last = 0;
    std::string text() const;  // "first-last", the state file's key
};

// Empty when mac can be a device's own address, else what it is (device/unicast_mac.h).
std::string_view mac_refusal(Mac48 mac);

// "FIRST-LAST" with FIRST <= LAST, every address of it one a device can have: not all zeros,
// and no multicast or broadcast address inside (both ends share their first byte, which is even).
// BadInput naming the text and why otherwise.
[[nodiscard]] Result<MacRange> check_mac_range(std::string_view text);
std::optional<MacRange> parse_mac_range(std::string_view text);  // check_mac_range's value

// Takes the next free address of range from the state file at state_path (created when
// missing) and appends it there, synced. Blocks while another process holds the lock. Refuses:
// FileError when the state file or its lock can't be opened, read or written (a file that is
// not regular or is larger than 1 MiB included); BadInput when it is read-only, can't be read
// exactly (naming the line), holds another range, or the range is used up.
[[nodiscard]] Result<Mac48> take_mac(const std::string& state_path, const MacRange& range);

// The same checks without taking anything, before a batch starts: ok when take_mac can use the
// state file for range (also when it does not exist yet).
[[nodiscard]] Status check_mac_state(const std::string& state_path, const MacRange& range);

// The lock file beside a state file.
std::string mac_lock_path(const std::string& state_path);

}  // namespace kestrel::cli
