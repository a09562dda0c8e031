#include "sim/ipv4_text.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace kestrel::sim {

std::optional<std::uint32_t> parse_dotted_quad(const std::string& text) {
    in_addr addr{};
    if (inet_aton(text.c_str(), &addr) == 0) return std::nullopt;
    return addr.s_addr;
}

std::string dotted_quad(std::uint32_t addr_net) {
    unsigned char b[4];
    std::memcpy(b, &addr_net, sizeof b);
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

}  // namespace kestrel::sim
