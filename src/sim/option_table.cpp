#include "sim/option_table.h"

#include <sstream>

namespace kestrel::sim {
namespace {

constexpr std::size_t kHelpColumn = 27;
constexpr std::size_t kHelpWidth = 95;

std::vector<std::string_view> words_of(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t start = text.find_first_not_of(' ', at);
        if (start == std::string_view::npos) break;
        const std::size_t end = std::min(text.find(' ', start), text.size());
        words.push_back(text.substr(start, end - start));
        at = end;
    }
    return words;
}

// Appends text wrapped to kHelpWidth, each line after the first indented to `indent`.
void wrap(std::string& out, std::string_view text, std::size_t column, std::size_t indent) {
    for (std::string_view word : words_of(text)) {
        if (column > indent && column + 1 + word.size() > kHelpWidth) {
            out += '\n';
            out.append(indent, ' ');
            column = indent;
        } else if (column > indent) {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
    }
    out += '\n';
}

// Escapes text for roff: backslashes and hyphens (so options stay minus signs), and a line
// that would start with a control character.
std::string roff(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
    return out;
}

// A help text as a man page sentence: a capital first letter and a full stop.
std::string sentence(std::string_view text) {
    std::string out(text);
    if (!out.empty() && out[0] >= 'a' && out[0] <= 'z') out[0] = static_cast<char>(out[0] - 32);
    if (!out.empty() && out.back() != '.') out += '.';
    return out;
}

}  // namespace

std::string help_text(std::span<const OptionSection> sections) {
    std::string out;
    for (const OptionSection& section : sections) {
        if (!section.title.empty()) {
            out += section.title;
            out += ":";
            if (!section.intro.empty()) {
                wrap(out, section.intro, section.title.size() + 1, 2);
            } else {
                out += '\n';
            }
        }
        for (const OptionDoc& option : section.options) {
            std::string head = "  " + std::string(option.name);
            if (!option.argument.empty()) head += " " + std::string(option.argument);
            out += head;
            if (head.size() + 1 >= kHelpColumn) {
                out += '\n';
                out.append(kHelpColumn, ' ');
            } else {
                out.append(kHelpColumn - head.size(), ' ');
            }
            wrap(out, option.help, kHelpColumn, kHelpColumn);
        }
    }
    return out;
}

std::string man_text(std::span<const OptionSection> sections) {
    std::ostringstream out;
    for (const OptionSection& section : sections) {
        if (!section.title.empty()) out << ".SS " << roff(section.title) << '\n';
        if (!section.intro.empty()) out << roff(sentence(section.intro)) << '\n';
        for (const OptionDoc& option : section.options) {
            out << ".TP\n";
            if (option.argument.empty()) {
                out << ".B " << roff(option.name) << '\n';
            } else {
                out << ".BI " << roff(option.name) << " \" " << roff(option.argument) << "\"\n";
            }
            out << roff(sentence(option.help)) << '\n';
        }
    }
    return out.str();
}

}  // namespace kestrel::sim
