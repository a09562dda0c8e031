#include "device/unicast_mac.h"

#include <algorithm>

namespace kestrel::device {

std::string_view mac_refusal(const Mac& mac) {
    const auto all = [&](std::uint8_t b) {
        return std::all_of(mac.begin(), mac.end(), [b](auto x) { return x == b; });
    };
    if (all(0x00)) return "all zeros";
    if (all(0xFF)) return "the broadcast address";
    if (mac[0] & 0x01) return "a multicast address (bit 0 of the first byte is set)";
    return {};
}

}  // namespace kestrel::device
