// The device argument: "A.B.C.D:PORT", four decimal numbers 0 to 255 and a port 1 to 65535,
// nothing before or after (no octal, hex or short forms).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::cli {

struct Endpoint {
    std::array<std::uint8_t, 4> ip{};
    std::uint16_t port = 0;
    std::string ip_text() const;  // "A.B.C.D"
    std::string text() const;     // "A.B.C.D:PORT"
};

std::optional<std::array<std::uint8_t, 4>> parse_dotted_quad(std::string_view text);
std::optional<Endpoint> parse_endpoint(std::string_view text);

}  // namespace kestrel::cli
