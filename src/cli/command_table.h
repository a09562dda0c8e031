// The names kestrelctl knows: its commands and each command's options, for the help subcommand
// and the did-you-mean of a mistyped name. Constant data, any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrel::cli {

struct CommandSpec {
    std::string_view name;
    std::vector<std::string_view> options;  // "--verify", "-j", ...
};

// info, read, write, verify, set, reset, scan, batch, help (the batch's child "unit" is left out).
const std::vector<CommandSpec>& command_specs();
const CommandSpec* find_command(std::string_view name);
// The global options (--device, --json, ...).
const std::vector<std::string_view>& global_options();

// "; did you mean \"write\"?" for the one candidate closest to word (within 2 edits, or the
// only candidate that word begins), or empty.
std::string did_you_mean(std::string_view word, const std::vector<std::string_view>& candidates);
std::vector<std::string_view> command_names();

// The message for an option a command does not take: "unknown option --verfy; did you mean
// \"--verify\"?" followed by " (for example: ...)".
std::string unknown_option(std::string_view command, std::string_view option, std::string_view example);

}  // namespace kestrel::cli
