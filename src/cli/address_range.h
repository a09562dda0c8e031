// The addresses `scan` probes: "A.B.C.D/N" (a CIDR block; for N up to 30 without its network
// and broadcast address), "A.B.C.D-E" (the last number running from D to E) or one address.
// Pure parsing, any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace kestrel::cli {

// At most this many addresses without --force.
inline constexpr std::uint64_t kScanLimit = 4096;

struct AddressRange {
    std::uint32_t first = 0;  // host order
    std::uint64_t count = 0;  // 1 to 2^32
    std::uint32_t at(std::uint64_t i) const { return first + static_cast<std::uint32_t>(i); }
};

// The range, or BadInput naming the text (escaped and cut, shown_text.h) with an example when it
// is none of the three forms.
[[nodiscard]] Result<AddressRange> parse_address_range(std::string_view text);

// "A.B.C.D" of a host-order address.
std::string dotted(std::uint32_t host_order);

}  // namespace kestrel::cli
