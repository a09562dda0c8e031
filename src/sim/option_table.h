// A program's command-line options as one table: each row's name, argument and help text, and
// what it does to the settings it fills. The same rows print --help, write the man page's
// OPTIONS section and parse the arguments, so the three cannot drift apart.
// Plain data and pure functions; no state.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::sim {

// One option as documented: "--name ARGUMENT", then the help text (one paragraph).
struct OptionDoc {
    std::string_view name;
    std::string_view argument;  // empty for a flag
    std::string_view help;
};

// Options under one heading; the first section of a page has an empty title.
struct OptionSection {
    std::string_view title;
    std::string_view intro;  // a sentence under the title, or empty
    std::vector<OptionDoc> options;
};

// An option that sets a field of Settings from `values` words (0 for a flag). apply returns
// false when a value is unusable; the error then reads "NAME " + problem.
template <typename Settings>
struct Option {
    OptionDoc doc;
    int values = 0;
    std::string_view problem;
    bool (*apply)(Settings&, std::span<const std::string> values) = nullptr;
};

// The outcome of offering one argument to a table.
struct OptionMatch {
    enum class Kind { NotMine, Taken, Bad } kind = Kind::NotMine;
    std::string error;  // for Bad: "--nak takes a probability between 0 and 1"
};

// Looks args[i] up in the table; when it is there, applies it with its values and moves i past
// them. NotMine leaves i and settings alone; Bad (a missing or unusable value) leaves settings
// as apply left them and says why.
template <typename Settings>
OptionMatch offer_option(std::span<const Option<Settings>> table, std::span<const std::string> args,
                         std::size_t& i, Settings& settings) {
    for (const Option<Settings>& option : table) {
        if (args[i] != option.doc.name) continue;
        const auto count = static_cast<std::size_t>(option.values);
        if (args.size() - i - 1 < count)
            return {OptionMatch::Kind::Bad, "missing value after " + args[i]};
        if (!option.apply(settings, args.subspan(i + 1, count)))
            return {OptionMatch::Kind::Bad, args[i] + " " + std::string(option.problem)};
        i += count;
        return {OptionMatch::Kind::Taken, {}};
    }
    return {};
}

template <typename Settings>
std::vector<OptionDoc> docs_of(std::span<const Option<Settings>> table) {
    std::vector<OptionDoc> docs;
    for (const Option<Settings>& option : table)
        docs.push_back(option.doc);
    return docs;
}

// The sections as --help prints them: "  --name ARG" padded to a column, the help wrapped
// beside it at 95 columns; a titled section starts with "Title:" and its intro.
std::string help_text(std::span<const OptionSection> sections);

// The sections as man(7) source for an OPTIONS section: ".TP", the option in bold with its
// argument in italics, the help as a paragraph; titled sections under ".SS".
std::string man_text(std::span<const OptionSection> sections);

}  // namespace kestrel::sim
