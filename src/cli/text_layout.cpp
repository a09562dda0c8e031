#include "cli/text_layout.h"

#include <cctype>

namespace kestrel::cli {
namespace {

bool is_operand(std::string_view atom) {
    bool upper = false;
    for (const char c : atom) {
        if (std::islower(static_cast<unsigned char>(c))) return false;
        if (std::isupper(static_cast<unsigned char>(c))) upper = true;
    }
    return upper;
}

std::string roff_atom(std::string_view atom) {
    if (atom.empty()) return {};
    const bool italic = atom[0] != '-' && is_operand(atom);
    return (italic ? "\\fI" : "\\fB") + roff_escape(atom) + "\\fR";
}

}  // namespace

std::vector<std::string_view> synopsis_units(std::string_view synopsis) {
    std::vector<std::string_view> units;
    int depth = 0;
    std::size_t start = std::string_view::npos;
    for (std::size_t i = 0; i <= synopsis.size(); ++i) {
        const char c = i < synopsis.size() ? synopsis[i] : ' ';
        if (c == ' ' && depth == 0) {
            if (start != std::string_view::npos) units.push_back(synopsis.substr(start, i - start));
            start = std::string_view::npos;
            continue;
        }
        if (start == std::string_view::npos) start = i;
        if (c == '[') ++depth;
        if (c == ']' && depth > 0) --depth;
    }
    return units;
}

void wrap_units(std::string& out, const std::vector<std::string_view>& units, std::size_t column,
                std::size_t indent) {
    for (const std::string_view unit : units) {
        const bool spaced = !out.empty() && out.back() != ' ' && out.back() != '\n';
        if (spaced && column + 1 + unit.size() > kHelpWidth) {
            out += '\n';
            out.append(indent, ' ');
            column = indent;
        } else if (spaced) {
            out += ' ';
            ++column;
        }
        out += unit;
        column += unit.size();
    }
    out += '\n';
}

void wrap_text(std::string& out, std::string_view text, std::size_t column, std::size_t indent) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t start = text.find_first_not_of(' ', at);
        if (start == std::string_view::npos) break;
        const std::size_t end = std::min(text.find(' ', start), text.size());
        words.push_back(text.substr(start, end - start));
        at = end;
    }
    wrap_units(out, words, column, indent);
}

std::string roff_escape(std::string_view text) {
    std::string out;
    for (const char c : text) {
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

std::string roff_sentences(std::string_view text) {
    std::string plain(text);
    if (!plain.empty() && std::islower(static_cast<unsigned char>(plain[0]))) {
        plain[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(plain[0])));
    }
    if (!plain.empty() && plain.back() != '.') plain += '.';
    std::string out;
    std::size_t start = 0;
    for (std::size_t i = 0; i + 2 < plain.size(); ++i) {
        if (plain[i] == '.' && plain[i + 1] == ' ' &&
            std::isupper(static_cast<unsigned char>(plain[i + 2]))) {
            out += roff_escape(std::string_view(plain).substr(start, i + 1 - start)) + "\n";
            start = i + 2;
        }
    }
    return out + roff_escape(std::string_view(plain).substr(start)) + "\n";
}

std::string roff_synopsis(std::string_view synopsis) {
    std::string out;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= synopsis.size(); ++i) {
        const char c = i < synopsis.size() ? synopsis[i] : ' ';
        if (c != ' ' && c != '[' && c != ']' && c != '|') continue;
        out += roff_atom(synopsis.substr(start, i - start));
        if (i < synopsis.size()) out += c;
        start = i + 1;
    }
    return out;
}

}  // namespace kestrel::cli
