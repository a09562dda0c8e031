// kestrelctl's bash completion, written from the command table. Pure function; any thread.
#pragma once

#include <string>

namespace kestrel::cli {

// The whole script, for bash-completion's completions folder: global options and commands
// first, then each command's options, settings and file operands; an option's value is
// completed as the table says (a file, one of its choices, KESTREL_DEVICE, or nothing).
[[nodiscard]] std::string bash_completion_script();

}  // namespace kestrel::cli
