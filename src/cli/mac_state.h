// The MAC state file of one range, as text: the line "kestrel-mac-state 1", the line
// "range FIRST-LAST", then what was handed out in order from FIRST, each line one address
// ("02:00:00:00:00:10") or a run of them ("02:00:00:00:00:10-02:00:00:00:00:3f", as a file is
// compacted or taken over from the one-line-per-range form "FIRST-LAST NEXT"). Every line ends
// with a line feed. Pure functions, any thread; mac_pool.h does the file work.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "cli/mac_pool.h"
#include "platform/status.h"

namespace kestrel::cli {

struct MacState {
    MacRange range;
    Mac48 next = 0;       // the first address not handed out; range.last + 1 when used up
    bool legacy = false;  // the file is in the one-line-per-range form and must be rewritten
};

// Reads a state file's whole text exactly: a line that is not exactly one of the forms above,
// an address out of order or outside the range, upper-case hex, a missing last line feed or an
// empty file is an error naming the line. The one-line form is taken only when the file holds
// a single line "FIRST-LAST NEXT" (NEXT an address of the range or "used-up"). The refusal is
// BadInput with "PATH line N: what is wrong".
[[nodiscard]] Result<MacState> parse_mac_state(std::string_view text, const std::string& path);

// The text of a state file for range with first..next-1 handed out (one run line, or none).
std::string mac_state_text(const MacRange& range, Mac48 next);

// The line appended when mac is handed out.
std::string mac_state_line(Mac48 mac);

}  // namespace kestrel::cli
