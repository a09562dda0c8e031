#include "device/address.h"

#include <array>

namespace kestrel::device {
namespace {

constexpr std::string_view kQuadExample = "for example 192.168.1.20";

Status refusal(std::string_view field, std::string_view what) {
    std::string text(field);
    text += ": ";
    text += what;
    return Status::failure(StatusCode::BadInput, std::move(text));
}

bool is_multicast(const std::array<std::uint8_t, 4>& b) {
    return b[0] >= 224 && b[0] <= 239;
}

}  // namespace

std::optional<Ipv4Net> parse_dotted_quad(std::string_view text) {
    std::array<std::uint8_t, 4> bytes{};
    std::size_t pos = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        if (i > 0) {
            if (pos >= text.size() || text[pos] != '.') return std::nullopt;
            ++pos;
        }
        unsigned value = 0;
        std::size_t digits = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) return std::nullopt;
        bytes[i] = static_cast<std::uint8_t>(value);
    }
    if (pos != text.size()) return std::nullopt;
    return ipv4_from_bytes(bytes.data());
}

Result<Ipv4Net> check_server_ip(std::string_view text, std::string_view field) {
    const auto address = parse_dotted_quad(text);
    if (!address) {
        return refusal(field, "enter four numbers from 0 to 255 joined by dots, " +
                                  std::string(kQuadExample) + ".");
    }
    return *address;
}

bool can_be_device_address(Ipv4Net address) {
    const auto b = ipv4_bytes(address);
    const bool any = b == std::array<std::uint8_t, 4>{0, 0, 0, 0};
    const bool broadcast = b == std::array<std::uint8_t, 4>{255, 255, 255, 255};
    return !any && !broadcast && !is_multicast(b);
}

Result<Ipv4Net> check_device_ip(std::string_view text, std::string_view field) {
    Result<Ipv4Net> check = check_server_ip(text, field);
    if (!check) return check;
    if (!can_be_device_address(*check)) {
        return refusal(field,
                       "0.0.0.0, 255.255.255.255 and multicast addresses (224.0.0.0 "
                       "to 239.255.255.255) can't be a device's address; enter one " +
                           std::string(kQuadExample) + ".");
    }
    return check;
}

Result<Ipv4Net> check_multicast_ip(std::string_view text, std::string_view field) {
    const auto address = parse_dotted_quad(text);
    if (!address || !is_multicast(ipv4_bytes(*address))) {
        return refusal(field,
                       "enter a multicast address from 224.0.0.0 to 239.255.255.255, "
                       "for example 239.1.1.1.");
    }
    return *address;
}

Result<Port> check_device_port(long port, std::string_view field) {
    if (const auto checked = Port::from(port)) return *checked;
    return refusal(field, "enter a port from 1 to 65535, for example 5000.");
}

}  // namespace kestrel::device
