// --offset A and --length N, the chip region read and verify work on, checked before anything is
// sent. Called on the command's thread; plain values.
#pragma once

#include <optional>
#include <string>

#include "cli/flash_steps.h"
#include "platform/status.h"

namespace kestrel::cli {

// The two values as given; absent when the option was not.
struct RegionArgs {
    std::optional<std::string> offset;
    std::optional<std::string> length;
};

// The region: from the offset (default 0) for the length (default: to the chip's end). An offset
// or a length that is not a chip number, or a region past the chip's end: BadInput whose reason
// is the usage error, naming the argument and giving an example.
[[nodiscard]] Result<FlashRegion> region_of(const RegionArgs& a);

}  // namespace kestrel::cli
