// MAC bytes typed as hexadecimal pairs, one pair per field. Pure functions, any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kestrel::device {

using Mac = std::array<std::uint8_t, 6>;
// The six MAC texts as typed, leftmost (block offset 0) first.
using MacFields = std::array<std::string, 6>;

// Converts the text's character pairs (0-9, a-f, A-F) into bytes, high nibble first, stopping at
// the first pair holding another character, at an odd last character or when dest is full.
// Returns the number of bytes written.
int HexPairsToBytes(std::string_view text, std::span<std::uint8_t> dest);

// True when the text is exactly two hex digits, the form a MAC field must have.
bool IsHexPair(std::string_view text);

// The outcome of checking six MAC fields: the bytes, or the first field (0-5) that is not
// exactly two hex digits and the refusal text naming it with an example.
struct [[nodiscard]] MacCheck {
    Mac mac{};
    int bad_field = -1;
    std::string error;
    bool ok() const { return error.empty(); }
};
MacCheck check_mac_fields(const MacFields& fields);

// "a1:b2:c3:d4:e5:f6" (or with '-') split into its six fields; nullopt for any other shape.
// The fields still have to pass check_mac_fields.
std::optional<MacFields> split_mac_text(std::string_view text);

}  // namespace kestrel::device
