// The link fault and link timing options that kestrel-devsim takes and kestrel-soak hands to
// it: one table, one parser, and the inverse that writes LinkFaults back as arguments.
// Plain functions over LinkFaults; no state.
#pragma once

#include <span>
#include <string>

#include "sim/faults.h"
#include "sim/option_table.h"

namespace kestrel::sim {

// Drawn faults: --seed, --lose-request P, ... --dup-gap-us N.
std::span<const Option<LinkFaults>> fault_options();
// Link and service timing, not faults: --reply-delay-us, --reply-jitter, --link-delay-us,
// --rx-queue.
std::span<const Option<LinkFaults>> timing_options();

// Offers args[i] to both tables (see offer_option).
OptionMatch offer_link_option(std::span<const std::string> args, std::size_t& i,
                              LinkFaults& faults);

// "--seed N" and each drawn fault that is on, in the table's order, with the settings that
// matter for it (the late delay and share, the duplicate gap).
std::string fault_args(const LinkFaults& faults);
// The timing options that differ from the defaults, or "" when none does.
std::string timing_args(const LinkFaults& faults);

}  // namespace kestrel::sim
