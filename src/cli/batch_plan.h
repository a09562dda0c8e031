// The production plan: a CSV file with a header row, one unit per row. Columns: device
// (HOST:PORT, required; a host name is resolved once, while the plan is checked) and optional
// image, mac (an address or "auto"), new_ip (A.B.C.D:PORT), ts_port, multicast (on/off),
// multicast_ip, reset (yes/no), label, window (1 to kMaxWindow requests in flight, or "auto": the
// unit's kestrelctl --window). Empty cells mean "leave as it is" (for window: one exchange at a
// time). The whole plan is checked before any unit runs.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/endpoint.h"

namespace kestrel::cli {

struct UnitPlan {
    int line = 0;  // in the plan file
    std::string label;
    std::optional<Endpoint> device;  // empty only in a plan that failed its check
    std::string image;               // empty: no write
    std::string mac;                 // empty, "auto" or an address
    std::string new_ip;              // empty or A.B.C.D:PORT
    std::string ts_port;             // empty or 1..65535
    std::string multicast;           // empty, "on" or "off"
    std::string multicast_ip;        // empty or a multicast address
    bool reset = false;
    std::string window;  // empty, "auto" or 1..kMaxWindow written plainly ("08" becomes "8")
};

struct [[nodiscard]] PlanParse {
    std::vector<UnitPlan> units;
    // One line per problem: "plan.csv line 4: mac: "zz" is not an address (for example
    // 00:1a:2b:3c:4d:5e or auto)". Empty when the plan is valid.
    std::vector<std::string> errors;
};

// Reads and checks the plan. auto_mac_allowed: whether a --mac-range was given. A plan that is
// not a regular file or is larger than 1 MiB is refused unread. Cells are shown in messages
// escaped and cut (shown_text.h).
PlanParse parse_plan(const std::string& path, bool auto_mac_allowed);

// The same checks on the plan's text; path only names it in the messages.
PlanParse parse_plan_text(const std::string& text, const std::string& path, bool auto_mac_allowed);

// Splits one CSV line into cells: commas, double-quoted cells with "" for a quote, blanks
// around unquoted cells dropped. False for an unterminated quote.
bool split_csv_line(const std::string& line, std::vector<std::string>& cells);

}  // namespace kestrel::cli
