#include "cli/shown_text.h"

namespace kestrel::cli {
namespace {

constexpr std::string_view kCut = "...";

std::string escaped(unsigned char byte) {
    static constexpr char kHex[] = "0123456789abcdef";
    if (byte == '\\') return "\\\\";
    if (byte < 0x20 || byte >= 0x7f) return {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]};
    return std::string(1, static_cast<char>(byte));
}

}  // namespace

std::string shown_text(std::string_view text) {
    std::string out;
    std::size_t keep = 0;  // the length of out that still leaves room for the "..."
    for (const char c : text) {
        const std::string piece = escaped(static_cast<unsigned char>(c));
        if (out.size() + piece.size() > kShownTextMax)
            return out.substr(0, keep) + std::string(kCut);
        out += piece;
        if (out.size() <= kShownTextMax - kCut.size()) keep = out.size();
    }
    return out;
}

std::string quoted_text(std::string_view text) {
    return "\"" + shown_text(text) + "\"";
}

}  // namespace kestrel::cli
