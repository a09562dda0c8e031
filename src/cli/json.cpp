#include "cli/json.h"

#include <cstdio>

namespace kestrel::cli {
namespace {

// Length of the valid UTF-8 sequence starting at text[i], or 0. Valid as JSON readers take it
// (RFC 3629): no overlong forms, no UTF-16 surrogates (ED A0..BF), nothing past U+10FFFF.
std::size_t utf8_length(std::string_view text, std::size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t n = lead >= 0xF0 && lead <= 0xF4   ? 4
                          : lead >= 0xE0 && lead <= 0xEF ? 3
                          : lead >= 0xC2 && lead <= 0xDF ? 2
                                                         : 0;
    if (n == 0 || i + n > text.size()) return 0;
    // The second byte's range narrows after E0, ED, F0 and F4.
    const unsigned low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    const auto second = static_cast<unsigned char>(text[i + 1]);
    if (second < low || second > high) return 0;
    for (std::size_t k = 2; k < n; ++k) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
    }
    return n;
}

}  // namespace

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else if (c >= 0x80) {
            const std::size_t n = utf8_length(text, i);
            if (n == 0) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out.append(text.substr(i, n));
                i += n - 1;
            }
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

JsonObject& JsonObject::raw(std::string_view key, std::string_view json) {
    if (!body_.empty()) body_ += ',';
    body_ += json_string(key);
    body_ += ':';
    body_ += json;
    return *this;
}

JsonObject& JsonObject::add(std::string_view key, std::string_view value) {
    return raw(key, json_string(value));
}
JsonObject& JsonObject::add(std::string_view key, bool value) {
    return raw(key, value ? "true" : "false");
}
JsonObject& JsonObject::add(std::string_view key, std::int64_t value) {
    return raw(key, std::to_string(value));
}
JsonObject& JsonObject::add(std::string_view key, double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3f", value);
    return raw(key, buf);
}
JsonObject& JsonObject::add_null(std::string_view key) {
    return raw(key, "null");
}
JsonObject& JsonObject::add_object(std::string_view key, const JsonObject& value) {
    return raw(key, value.str());
}

JsonObject& JsonObject::append(const JsonObject& other) {
    if (other.body_.empty()) return *this;
    if (!body_.empty()) body_ += ',';
    body_ += other.body_;
    return *this;
}

}  // namespace kestrel::cli
