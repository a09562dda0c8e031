#include "device/hex_pairs.h"

namespace kestrel::device {
namespace {

int NibbleOf(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

int HexPairsToBytes(std::string_view text, std::span<std::uint8_t> dest) {
    std::size_t i = 0;
    for (; i < text.size() / 2 && i < dest.size(); ++i) {
        const int high = NibbleOf(text[2 * i]);
        const int low = NibbleOf(text[2 * i + 1]);
        if (high < 0 || low < 0) break;
        dest[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return static_cast<int>(i);
}

bool IsHexPair(std::string_view text) {
    return text.size() == 2 && NibbleOf(text[0]) >= 0 && NibbleOf(text[1]) >= 0;
}

MacCheck check_mac_fields(const MacFields& fields) {
    MacCheck check;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (!IsHexPair(fields[i])) {
            check.bad_field = static_cast<int>(i);
            check.error = "MAC field " + std::to_string(i + 1) +
                          " must hold exactly two hex digits (00 to ff, for example 1a).";
            return check;
        }
        HexPairsToBytes(fields[i], std::span<std::uint8_t>(&check.mac[i], 1));
    }
    return check;
}

std::optional<MacFields> split_mac_text(std::string_view text) {
    if (text.size() != 17) return std::nullopt;
    const char separator = text[2];
    if (separator != ':' && separator != '-') return std::nullopt;
    MacFields fields;
    for (std::size_t i = 0; i < 6; ++i) {
        if (i > 0 && text[3 * i - 1] != separator) return std::nullopt;
        fields[i] = std::string(text.substr(3 * i, 2));
    }
    return fields;
}

}  // namespace kestrel::device
