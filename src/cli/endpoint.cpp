#include "cli/endpoint.h"

namespace kestrel::cli {
namespace {

// A decimal number of 1 to max_digits digits no greater than max.
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

}  // namespace

std::string Endpoint::ip_text() const {
    return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) +
           "." + std::to_string(ip[3]);
}

std::string Endpoint::text() const { return ip_text() + ":" + std::to_string(port); }

std::optional<std::array<std::uint8_t, 4>> parse_dotted_quad(std::string_view text) {
    std::array<std::uint8_t, 4> out{};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::size_t dot = i < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos) return std::nullopt;
        const auto n = parse_decimal(text.substr(0, dot), 3, 255);
        if (!n) return std::nullopt;
        out[i] = static_cast<std::uint8_t>(*n);
        text.remove_prefix(i < 3 ? dot + 1 : dot);
    }
    return out;
}

std::optional<Endpoint> parse_endpoint(std::string_view text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const auto ip = parse_dotted_quad(text.substr(0, colon));
    const auto port = parse_decimal(text.substr(colon + 1), 5, 65535);
    if (!ip || !port || *port == 0) return std::nullopt;
    return Endpoint{*ip, static_cast<std::uint16_t>(*port)};
}

}  // namespace kestrel::cli
