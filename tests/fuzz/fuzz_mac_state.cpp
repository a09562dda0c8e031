// The MAC state file's reader: never a crash, and what it reads it can write back unchanged.
#include "cli/mac_state.h"
#include "fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestrel;
    const Result<cli::MacState> parse =
        cli::parse_mac_state(fuzz::as_text(data, size), "macs.state");
    fuzz::require(parse.ok() == parse.reason().empty());
    if (!parse) return 0;
    const cli::MacState& s = *parse;
    fuzz::require(s.next >= s.range.first && s.next <= s.range.last + 1);
    // Rewritten as one run, the file says the same.
    const Result<cli::MacState> again =
        cli::parse_mac_state(cli::mac_state_text(s.range, s.next), "macs.state");
    fuzz::require(again && !again->legacy && again->next == s.next &&
                  again->range.first == s.range.first && again->range.last == s.range.last);
    return 0;
}
