// kestrelctl's help texts, written from the command table. Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrel::cli {

// The whole program's help: usage, commands, global options and exit codes.
[[nodiscard]] std::string main_help();

// One command's help: its usage, description, options (or settings) and closing note;
// nullopt for an unknown or hidden command.
[[nodiscard]] std::optional<std::string> command_help(std::string_view command);

}  // namespace kestrel::cli
