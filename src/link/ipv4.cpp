#include "link/ipv4.h"

#include <arpa/inet.h>

#include <cstring>

#include "platform/format.h"

namespace kestrel {

Ipv4Net inet_addr_compat(const std::string& text) {
    return inet_addr(text.c_str());
}

std::optional<Ipv4Net> parse_ipv4(const std::string& text) {
    in_addr addr{};
    if (inet_aton(text.c_str(), &addr) == 0) return std::nullopt;
    return addr.s_addr;
}

std::array<std::uint8_t, 4> ipv4_bytes(Ipv4Net addr) {
    std::array<std::uint8_t, 4> bytes{};
    std::memcpy(bytes.data(), &addr, 4);
    return bytes;
}

Ipv4Net ipv4_from_bytes(const std::uint8_t* bytes) {
    Ipv4Net addr = 0;
    std::memcpy(&addr, bytes, 4);
    return addr;
}

std::string format_ipv4(const std::uint8_t* bytes) {
    return format("%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
}

}  // namespace kestrel
