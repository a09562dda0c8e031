// Bytes typed as hexadecimal pairs, as a MAC field holds them (device/mac.h parses whole MAC
// addresses). Pure functions, any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kestrel::device {

// Converts the text's character pairs (0-9, a-f, A-F) into bytes, high nibble first, stopping at
// the first pair holding another character, at an odd last character or when dest is full.
// Returns the number of bytes written.
int HexPairsToBytes(std::string_view text, std::span<std::uint8_t> dest);

// True when the text is exactly two hex digits, the form a MAC field must have.
bool IsHexPair(std::string_view text);

}  // namespace kestrel::device
