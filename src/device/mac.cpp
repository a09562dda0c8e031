#include "device/mac.h"

#include <cstdio>

#include "device/hex_pairs.h"

namespace kestrel::device {
namespace {

constexpr std::size_t kMacTextSize = 17;  // six pairs and five separators

// The six pairs of "a1:b2:..." or "a1-b2-...", or false when the text has another shape.
bool split_mac_text(std::string_view text, MacFields& fields) {
    if (text.size() != kMacTextSize) return false;
    const char separator = text[2];
    if (separator != ':' && separator != '-') return false;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0 && text[3 * i - 1] != separator) return false;
        fields[i] = std::string(text.substr(3 * i, 2));
    }
    return true;
}

}  // namespace

Result<std::uint8_t> parse_mac_field(std::string_view text, std::size_t index) {
    std::uint8_t byte = 0;
    if (!IsHexPair(text) || HexPairsToBytes(text, std::span<std::uint8_t>(&byte, 1)) != 1) {
        return Status::failure(StatusCode::BadInput,
                               "MAC field " + std::to_string(index + 1) +
                                   " must hold exactly two hex digits (00 to ff, for example 1a).");
    }
    return byte;
}

Result<Mac> parse_mac_fields(const MacFields& fields) {
    Mac mac{};
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const Result<std::uint8_t> byte = parse_mac_field(fields[i], i);
        if (!byte) return byte.status();
        mac[i] = *byte;
    }
    return mac;
}

Result<Mac> parse_mac_text(std::string_view text) {
    MacFields fields;
    if (split_mac_text(text, fields)) {
        if (Result<Mac> mac = parse_mac_fields(fields)) return mac;
    }
    return Status::failure(StatusCode::BadInput,
                           "not a MAC address: six hex pairs joined by ':' or '-' (for example "
                           "00:1a:2b:3c:4d:5e)");
}

std::string mac_pairs_as_typed(std::string_view text) {
    MacFields fields;
    if (!split_mac_text(text, fields) || !parse_mac_fields(fields)) return {};
    std::string pairs;
    for (const std::string& pair : fields)
        pairs += pair;
    return pairs;
}

std::string mac_text(const Mac& mac) {
    char buf[kMacTextSize + 1];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
                  mac[4], mac[5]);
    return buf;
}

}  // namespace kestrel::device
