// How the command table's texts are laid out: wrapped for a terminal's help, escaped for man(7).
// Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrel::cli {

inline constexpr std::size_t kHelpWidth = 92;  // the help's lines end before this column

// The units a synopsis may break between: its words, with a bracketed group ("[--offset A
// [--keep-rest]]") kept as one unit.
[[nodiscard]] std::vector<std::string_view> synopsis_units(std::string_view synopsis);

// Appends units joined by spaces to out, which already holds `column` characters of the current
// line (a space goes first unless out ends in a space or a line break); a unit that would pass
// kHelpWidth starts a new line indented by `indent`. Ends with "\n".
void wrap_units(std::string& out, const std::vector<std::string_view>& units, std::size_t column,
                std::size_t indent);
// The same for prose: its words are the units.
void wrap_text(std::string& out, std::string_view text, std::size_t column, std::size_t indent);

// Text as roff reads it: backslashes and hyphens escaped (options stay minus signs), and a line
// that would start with a control character made plain text.
[[nodiscard]] std::string roff_escape(std::string_view text);
// A help text as man page source: a capital first letter, a full stop at the end and each
// sentence on a line of its own.
[[nodiscard]] std::string roff_sentences(std::string_view text);
// A synopsis in man page fonts: options and lower-case words bold, upper-case operands
// (IMAGE, A.B.C.D/N) italic, brackets and bars plain.
[[nodiscard]] std::string roff_synopsis(std::string_view synopsis);

}  // namespace kestrel::cli
