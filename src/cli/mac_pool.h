// MAC addresses handed out from a range, never twice: the next free address of each range is
// kept in a state file, read and advanced under an exclusive lock (a separate ".lock" file, so
// that the atomic rename of the state file cannot slip between two processes) and written
// durably (temporary file, fsync, rename) before the address is given out. A killed run, two
// runs one after the other or two runs at once never get the same address.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::cli {

using Mac48 = std::uint64_t;  // the six bytes, first byte in bits 47..40

std::optional<Mac48> parse_mac(std::string_view text);  // "a1:b2:c3:d4:e5:f6"
std::string mac_text(Mac48 mac);                         // lowercase, colons

struct MacRange {
    Mac48 first = 0;
    Mac48 last = 0;
    std::string text() const;  // "first-last", the state file's key
};

// "FIRST-LAST" with FIRST <= LAST.
std::optional<MacRange> parse_mac_range(std::string_view text);

struct [[nodiscard]] MacTake {
    std::optional<Mac48> mac;  // empty when the range is used up or the state file failed
    std::string error;
};

// Takes the next free address of range from the state file at state_path (created when
// missing) and records the one after it. Blocks while another process holds the lock.
MacTake take_mac(const std::string& state_path, const MacRange& range);

}  // namespace kestrel::cli
