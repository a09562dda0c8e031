// The handshake sent to many addresses at once, for `scan`: its own non-blocking UDP socket (not
// the link), at most `jobs` addresses waiting at a time, each for at most timeout_ms. Runs on
// the calling thread; sends nothing but handshakes (and the "q" answer a reply may ask for).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli/address_range.h"

#include "platform/status.h"

namespace kestrel::cli {

struct ProbeOptions {
    std::uint16_t port = 5000;
    int timeout_ms = 1000;
    int jobs = 64;
};

// Probes every address of range; an address whose send fails counts as silent. on_probe, when
// set, is called with the number of addresses done so far (for progress). The addresses that
// answered ("connectok" at byte 1 or later), host order, ascending; SystemError when no socket
// could be made (nothing was sent).
[[nodiscard]] Result<std::vector<std::uint32_t>> probe_handshakes(
    const AddressRange& range, const ProbeOptions& options,
    const std::function<void(std::uint64_t)>& on_probe = {});

}  // namespace kestrel::cli
