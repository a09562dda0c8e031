#include "cli/man_page.h"

#include <algorithm>

#include "cli/command_table.h"
#include "cli/text_layout.h"

namespace kestrel::cli {
namespace {

std::string man_paragraphs(std::string_view text) {
    std::string out;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        if (!out.empty()) out += ".PP\n";
        out += roff_sentences(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::string man_option(const OptionRow& row) {
    std::string head;
    if (!row.alias.empty()) head += roff_synopsis(row.alias) + ", ";
    head += roff_synopsis(row.name);
    if (!row.argument.empty()) {
        std::string choices(row.choices);
        std::replace(choices.begin(), choices.end(), ' ', '|');
        head += " " + roff_synopsis(row.kind == ValueKind::Choice ? std::string_view(choices)
                                                                  : row.argument);
    }
    std::string out = ".TP\n" + head + "\n" + roff_sentences(row.help);
    return out;
}

std::string man_command(const CommandRow& row) {
    std::string out = ".SS " + std::string(row.name) + "\n";
    out += ".B kestrelctl " + roff_escape(row.name) + "\n";
    if (!row.synopsis.empty()) out += roff_synopsis(row.synopsis) + "\n";
    out += ".PP\n" + man_paragraphs(row.description);
    for (const WordRow& word : row.words) {
        out += ".TP\n" + roff_synopsis(std::string(word.name) + " " + std::string(word.argument)) +
               "\n" + roff_sentences(word.help);
    }
    for (const OptionRow& option : row.options)
        out += man_option(option);
    if (!row.closing.empty()) out += ".PP\n" + man_paragraphs(row.closing);
    return out;
}

bool replace_line(std::string& page, std::string_view marker, const std::string& body) {
    const std::string line = std::string(marker) + "\n";
    std::size_t at = page.find(line);
    while (at != std::string::npos && at != 0 && page[at - 1] != '\n')
        at = page.find(line, at + 1);
    if (at == std::string::npos) return false;
    page.replace(at, line.size(), body);
    return true;
}

}  // namespace

std::string man_synopsis() {
    return ".B kestrelctl\n" + roff_synopsis(global_synopsis()) + "\n.br\n.B kestrelctl\n" +
           roff_synopsis("--help | --version") + "\n";
}

std::string man_options() {
    std::string out;
    for (const OptionRow& row : global_option_rows())
        out += man_option(row);
    return out;
}

std::string man_commands() {
    std::string out;
    for (const CommandRow& row : command_rows()) {
        if (!row.hidden) out += man_command(row);
    }
    return out;
}

std::string man_exit_status() {
    std::string out;
    for (const ExitRow& row : exit_rows()) {
        out += ".TP\n.B " + std::to_string(row.code) + "\n" + roff_sentences(row.meaning);
    }
    return out;
}

std::optional<std::string> kestrelctl_man_page(std::string page_template, std::string& missing) {
    const std::pair<std::string_view, std::string> sections[] = {
        {kManSynopsisMarker, man_synopsis()},
        {kManOptionsMarker, man_options()},
        {kManCommandsMarker, man_commands()},
        {kManExitMarker, man_exit_status()},
    };
    for (const auto& [marker, body] : sections) {
        if (!replace_line(page_template, marker, body)) {
            missing = std::string(marker);
            return std::nullopt;
        }
    }
    return page_template;
}

}  // namespace kestrel::cli
