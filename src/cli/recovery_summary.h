// What recovering from link faults cost one command: the faults the link met and what the
// flash procedures did again because of them, with the time that took. Made on the command's
// thread from counters taken at its start and end.
#pragma once

#include <cstdint>
#include <string>

#include "cli/json.h"
#include "flash/core/recovery_stats.h"
#include "link/link_stats.h"

namespace kestrel::cli {

struct RecoveryCost {
    std::uint64_t missing = 0;   // requests whose reply never came
    std::uint64_t timeouts = 0;  // of the waits for a reply, those that ran out
    std::uint64_t nudges = 0;    // slow replies asked for again before their wait ran out
    std::uint64_t naks = 0;
    std::uint64_t strays = 0;  // datagrams that were no reply to the request they met
    RecoveryStats again;
    // Waiting for replies that never came, draining windows that broke, and the exchanges made
    // again.
    double lost_s = 0;

    [[nodiscard]] std::uint64_t faults() const { return missing + naks + strays; }
    [[nodiscard]] bool any() const;
};

// The cost between two pairs of snapshots.
[[nodiscard]] RecoveryCost recovery_cost(const LinkStats& link_start, const LinkStats& link_end,
                                         const RecoveryStats& flash_start,
                                         const RecoveryStats& flash_end);

// " (5 replies missing, 3 time-outs, 1 NAK, 2 strays; 5 chunks and 2 pages read again, 1 page
// programmed again, 0 sectors erased; 0.01 s lost)", or "" when nothing was recovered. Slow
// replies asked for again, when there were any, follow the time-outs: "3 time-outs, 4 asked
// again, 1 NAK"; pages programmed in pieces come before the sectors: "..., 1 page programmed
// again, 2 pages programmed in pieces, 1 sector erased; ...".
[[nodiscard]] std::string recovery_text(const RecoveryCost& cost);

// The same as a JSON object.
[[nodiscard]] JsonObject recovery_json(const RecoveryCost& cost);

}  // namespace kestrel::cli
