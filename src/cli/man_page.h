// kestrelctl's man page: the sections written from the command table (synopsis, options,
// commands, exit status) put into the page's template. Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrel::cli {

// The template's marker lines, each replaced by its section's body (the ".SH" line stays in
// the template).
inline constexpr std::string_view kManSynopsisMarker = ".\\\" kestrelctl synopsis";
inline constexpr std::string_view kManOptionsMarker = ".\\\" kestrelctl options";
inline constexpr std::string_view kManCommandsMarker = ".\\\" kestrelctl commands";
inline constexpr std::string_view kManExitMarker = ".\\\" kestrelctl exit status";

// The page: `page_template` with each marker line replaced. nullopt with `missing` set to the
// first marker not found on a line of its own.
[[nodiscard]] std::optional<std::string> kestrelctl_man_page(std::string page_template,
                                                             std::string& missing);

// The sections' bodies, as they go in place of the markers.
[[nodiscard]] std::string man_synopsis();
[[nodiscard]] std::string man_options();
[[nodiscard]] std::string man_commands();
[[nodiscard]] std::string man_exit_status();

}  // namespace kestrel::cli
