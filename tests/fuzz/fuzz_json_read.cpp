// The reader of the batch children's JSON lines (json_field) on any text: never a crash or an
// exception. And what kestrelctl's own JSON writer makes of any bytes the reader takes back:
// always a JSON object, and the same text whenever the bytes are UTF-8.
//
// The input is the line as a child might write it; split at its first NUL byte it is also a key
// and a value for the writer.
#include <string>

#include "cli/json.h"
#include "fuzz_target.h"

namespace {

using kestrel::fuzz::require;

// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing past U+10FFFF.
bool is_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            ++i;
            continue;
        }
        std::size_t n = 0;   // continuation bytes
        unsigned lo = 0x80;  // the second byte's bounds
        unsigned hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            n = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            n = 2;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            n = 3;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (i + n >= s.size()) return false;
        for (std::size_t k = 1; k <= n; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if (c < (k == 1 ? lo : 0x80u) || c > (k == 1 ? hi : 0xBFu)) return false;
        }
        i += n + 1;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestrel;
    const std::string_view line = fuzz::as_text(data, size);
    // The fields the batch looks for in a child's progress and report lines.
    for (const char* key :
         {"stage", "percent", "rate_kib_s", "eta_s", "ok", "exit_code", "error", "mac"})
        (void)cli::json_field(line, key);

    const std::size_t cut = line.find('\0');
    const std::string key(line.substr(0, cut));
    const std::string value(cut == std::string_view::npos ? std::string_view()
                                                          : line.substr(cut + 1));
    if (key == "n") return 0;
    const std::string object = cli::JsonObject().add("n", std::int64_t{-7}).add(key, value).str();
    const auto n = cli::json_field(object, "n");
    require(n && *n == "-7");  // whatever the bytes, the writer made an object the reader takes
    if (is_utf8(key) && is_utf8(value)) {
        const auto back = cli::json_field(object, key);
        require(back && *back == value);
    }
    return 0;
}
