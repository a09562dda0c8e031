#include "cli/usage.h"

#include "cli/command_table.h"
#include "cli/text_layout.h"

namespace kestrel::cli {
namespace {

constexpr std::size_t kNameColumn = 27;  // where the text beside a name starts
constexpr std::size_t kExitColumn = 7;   // where an exit code's meaning starts

// "  NAME" padded to `column`, then text wrapped beside it.
void put_row(std::string& out, const std::string& head, std::string_view text,
             std::size_t column = kNameColumn) {
    out += head;
    if (head.size() + 1 >= column) {
        out += '\n';
        out.append(column, ' ');
    } else {
        out.append(column - head.size(), ' ');
    }
    wrap_text(out, text, column, column);
}

// The operands a command's main help line shows: its synopsis up to the first option.
std::string operands_of(std::string_view synopsis) {
    std::string out;
    for (const std::string_view unit : synopsis_units(synopsis)) {
        if (unit.starts_with("-") || unit.starts_with("[-")) break;
        out += " " + std::string(unit);
    }
    return out;
}

std::string option_head(const OptionRow& row) {
    std::string head = "  ";
    if (!row.alias.empty()) head += std::string(row.alias) + ", ";
    head += row.name;
    if (!row.argument.empty()) head += " " + std::string(row.argument);
    return head;
}

void put_paragraphs(std::string& out, std::string_view text) {
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        wrap_text(out, text.substr(start, end - start), 0, 0);
        start = end + 1;
    }
}

void put_usage(std::string& out, std::string_view command, std::string_view synopsis) {
    std::string head = "Usage: kestrelctl";
    if (!command.empty()) head += " " + std::string(command);
    out += head;
    if (synopsis.empty()) {
        out += '\n';
        return;
    }
    wrap_units(out, synopsis_units(synopsis), head.size(), head.size() + 1);
}

}  // namespace

std::string main_help() {
    std::string out;
    put_usage(out, "", global_synopsis());
    out += "       kestrelctl --help | --version\n\n";
    out +=
        "Talks to one device over UDP. The device comes from --device, else "
        "KESTREL_DEVICE.\n\nCommands:\n";
    for (const CommandRow& row : command_rows()) {
        if (row.hidden) continue;
        put_row(out, "  " + std::string(row.name) + operands_of(row.synopsis), row.summary);
    }
    out +=
        "Run \"kestrelctl help COMMAND\" (or \"kestrelctl COMMAND --help\") for a command's "
        "options.\n\n"
        "Options (before or after the command):\n";
    for (const OptionRow& row : global_option_rows())
        put_row(out, option_head(row), row.help);
    out += "\nExit codes:\n";
    for (const ExitRow& row : exit_rows())
        put_row(out, "  " + std::to_string(row.code), row.meaning, kExitColumn);
    return out;
}

std::optional<std::string> command_help(std::string_view command) {
    const CommandRow* row = find_command(command);
    if (!row || row->hidden) return std::nullopt;
    std::string out;
    put_usage(out, row->name, row->synopsis);
    put_paragraphs(out, row->description);
    for (const WordRow& word : row->words) {
        put_row(out,
                "  " + std::string(row->name) + " " + std::string(word.name) + " " +
                    std::string(word.argument),
                word.help);
    }
    for (const OptionRow& option : row->options)
        put_row(out, option_head(option), option.help);
    if (!row->closing.empty()) put_paragraphs(out, row->closing);
    return out;
}

}  // namespace kestrel::cli
