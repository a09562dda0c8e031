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

}  // namespace kestrel::device
