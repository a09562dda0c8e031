// A MAC address as six bytes, parsed once from either form a user types it in: the dialog's six
// two-hex-digit fields, or the command line's "a1:b2:c3:d4:e5:f6". Pure functions, any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace kestrel::device {

// Leftmost (block offset 0) first.
using Mac = std::array<std::uint8_t, 6>;
// The six MAC texts as typed, leftmost first.
using MacFields = std::array<std::string, 6>;

// Field `index` (0-5) of the six: exactly two hex digits (0-9, a-f, A-F). BadInput otherwise,
// with "MAC field N must hold exactly two hex digits (00 to ff, for example 1a)." (N = index + 1).
[[nodiscard]] Result<std::uint8_t> parse_mac_field(std::string_view text, std::size_t index);

// The six fields, each as parse_mac_field takes it; the first bad field's refusal otherwise.
[[nodiscard]] Result<Mac> parse_mac_fields(const MacFields& fields);

// "a1:b2:c3:d4:e5:f6" or "a1-b2-c3-d4-e5-f6" (one separator throughout, either case). BadInput
// for any other shape; the reason does not repeat the text, which the caller shows its own way.
[[nodiscard]] Result<Mac> parse_mac_text(std::string_view text);

// The six pairs of a text parse_mac_text took, joined without separators and in the case they
// were typed ("A1b2c3d4e5f6"): what the MAC command traces. Empty for any other text.
[[nodiscard]] std::string mac_pairs_as_typed(std::string_view text);

// "a1:b2:c3:d4:e5:f6", lower case.
[[nodiscard]] std::string mac_text(const Mac& mac);

}  // namespace kestrel::device
