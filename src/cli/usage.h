// kestrelctl's --help texts.
#pragma once

#include <string>

namespace kestrel::cli {

// The whole program's help, with the exit codes.
const char* main_help();

// One command's help; nullptr for an unknown command.
const char* command_help(const std::string& command);

}  // namespace kestrel::cli
