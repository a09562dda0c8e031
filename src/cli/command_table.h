// kestrelctl's interface as one table: its global options, its commands with their operands and
// options, and its exit codes. --help, each command's help, the man page and the bash completion
// are all written from it, and the argument parsers take only the names it lists.
// Constant data built on first use; any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrel::cli {

// What an argument is, so that the completion can offer the right words.
enum class ValueKind {
    Other,    // a number, an address, a range: nothing to offer
    File,     // a file name
    Choice,   // one of the words in `choices`
    Device,   // HOST:PORT (the completion offers KESTREL_DEVICE)
    Command,  // a command name (help's operand)
};

struct OptionRow {
    std::string_view name;      // "--offset"
    std::string_view alias;     // "-v" for --verbose, or empty
    std::string_view argument;  // "A"; empty for a flag
    ValueKind kind = ValueKind::Other;
    std::string_view choices;  // for Choice: "auto bar lines none json"
    std::string_view help;     // one paragraph, lower-case first letter, no final stop
};

// A fixed first operand with its value, as `set ip A.B.C.D:PORT`.
struct WordRow {
    std::string_view name;      // "multicast"
    std::string_view argument;  // "on|off"
    std::string_view choices;   // what the completion offers for the value: "on off", or empty
    std::string_view help;
};

struct CommandRow {
    std::string_view name;
    std::string_view synopsis;     // what follows the name: "FILE [--verify] [--offset A] ..."
    std::string_view summary;      // the main help's line for it
    std::string_view description;  // paragraphs joined by "\n"; sentences with full stops
    ValueKind operand = ValueKind::Other;  // what its positional arguments are
    std::vector<OptionRow> options;
    std::vector<WordRow> words;  // set's settings; empty for the other commands
    std::string_view closing;    // a paragraph after the options ("Exit 0 when ..."), or empty
    bool hidden = false;         // the batch's own child command: in no help, page or completion
};

struct ExitRow {
    int code;
    std::string_view meaning;  // "no device: no answer, or the handshake failed, within 3 s"
};

// The global options, in the order the help shows them.
const std::vector<OptionRow>& global_option_rows();
// "[--device HOST:PORT] [--json] ... COMMAND [ARGS...]": the main usage line after the name.
std::string_view global_synopsis();
// The commands, the hidden "unit" last.
const std::vector<CommandRow>& command_rows();
const std::vector<ExitRow>& exit_rows();

// The row of a command (hidden ones included), or nullptr.
const CommandRow* find_command(std::string_view name);
// The global option row whose name or alias is `word`, or nullptr.
const OptionRow* find_global_option(std::string_view word);
// The option row of `command` named `name` (not its aliases), or nullptr.
const OptionRow* find_option(const CommandRow& command, std::string_view name);
// The commands a user may type (hidden ones left out).
std::vector<std::string_view> command_names();

// "; did you mean \"write\"?" for the one candidate closest to word (within 2 edits, or the
// only candidate that word begins), or empty.
std::string did_you_mean(std::string_view word, const std::vector<std::string_view>& candidates);

// The message for an option a command does not take: "unknown option --verfy; did you mean
// \"--verify\"?" followed by " (for example: ...)". The candidates are the command's options and
// the global ones.
std::string unknown_option(std::string_view command, std::string_view option,
                           std::string_view example);

}  // namespace kestrel::cli
