#include "cli/endpoint.h"

#include "device/address.h"

namespace kestrel::cli {
std::optional<unsigned> parse_decimal(std::string_view text, std::size_t max_digits,
                                      unsigned max) {
    if (text.empty() || text.size() > max_digits) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > max) return std::nullopt;
    return value;
}

std::string Endpoint::ip_text() const {
    return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) +
           "." + std::to_string(ip[3]);
}

std::string Endpoint::text() const { return ip_text() + ":" + std::to_string(port); }

std::optional<Endpoint> parse_endpoint(std::string_view text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const auto ip = device::parse_dotted_quad(text.substr(0, colon));
    const auto port = parse_decimal(text.substr(colon + 1), 5, 65535);
    if (!ip || !port || *port == 0) return std::nullopt;
    return Endpoint{ipv4_bytes(*ip), static_cast<std::uint16_t>(*port)};
}

}  // namespace kestrel::cli
