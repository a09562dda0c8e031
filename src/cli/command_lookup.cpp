// Lookups in the command table and the did-you-mean of a mistyped name.
#include <algorithm>

#include "cli/command_table.h"

namespace kestrel::cli {
namespace {

std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t up = row[j];
            row[j] =
                std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

}  // namespace

const CommandRow* find_command(std::string_view name) {
    for (const CommandRow& row : command_rows()) {
        if (row.name == name) return &row;
    }
    return nullptr;
}

const OptionRow* find_global_option(std::string_view word) {
    for (const OptionRow& row : global_option_rows()) {
        if (row.name == word || (!row.alias.empty() && row.alias == word)) return &row;
    }
    return nullptr;
}

const OptionRow* find_option(const CommandRow& command, std::string_view name) {
    for (const OptionRow& row : command.options) {
        if (row.name == name) return &row;
    }
    return nullptr;
}

std::vector<std::string_view> command_names() {
    std::vector<std::string_view> names;
    for (const CommandRow& row : command_rows()) {
        if (!row.hidden) names.push_back(row.name);
    }
    return names;
}

std::string did_you_mean(std::string_view word, const std::vector<std::string_view>& candidates) {
    const std::string_view* best = nullptr;
    std::size_t best_distance = 3;
    int prefixed = 0;
    const std::string_view* prefix_match = nullptr;
    for (const auto& c : candidates) {
        if (word.size() >= 2 && c.substr(0, word.size()) == word) {
            ++prefixed;
            prefix_match = &c;
        }
        const std::size_t d = edit_distance(word, c);
        if (d < best_distance) {
            best_distance = d;
            best = &c;
        }
    }
    if (!best && prefixed == 1) best = prefix_match;
    return best ? "; did you mean \"" + std::string(*best) + "\"?" : std::string();
}

std::string unknown_option(std::string_view command, std::string_view option,
                           std::string_view example) {
    std::vector<std::string_view> candidates;
    if (const CommandRow* row = find_command(command)) {
        for (const OptionRow& o : row->options)
            candidates.push_back(o.name);
    }
    for (const OptionRow& o : global_option_rows()) {
        candidates.push_back(o.name);
        if (!o.alias.empty()) candidates.push_back(o.alias);
    }
    const auto eq = option.find('=');
    return "unknown option " + std::string(option) +
           did_you_mean(option.substr(0, eq), candidates) +
           " (for example: " + std::string(example) + ")";
}

}  // namespace kestrel::cli
