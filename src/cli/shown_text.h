// Texts from files and arguments as messages show them: one line, printable ASCII, bounded.
// Pure functions, any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrel::cli {

// The most characters a shown text takes, its closing "..." included.
inline constexpr std::size_t kShownTextMax = 80;

// text with each control character, DEL and non-ASCII byte written \xNN (lowercase hex) and a
// backslash written \\, then cut to kShownTextMax characters ending in "..." (never inside an
// escape) when longer.
std::string shown_text(std::string_view text);

// shown_text in double quotes: "\"ab\\x1b[2J\"".
std::string quoted_text(std::string_view text);

}  // namespace kestrel::cli
