// Which MAC addresses a device may be given as its own: not a group (multicast) address, which
// bit 0 of the first byte marks, not the broadcast address and not all zeros. Pure, any thread.
#pragma once

#include <string_view>

#include "device/mac.h"

namespace kestrel::device {

// Empty when mac can be a device's own address, else what it is: "a multicast address (bit 0
// of the first byte is set)", "the broadcast address" or "all zeros".
std::string_view mac_refusal(const Mac& mac);

}  // namespace kestrel::device
