#include "cli/mac_state.h"

#include <vector>

#include "cli/shown_text.h"

namespace kestrel::cli {
namespace {

constexpr std::string_view kMagic = "kestrel-mac-state 1";
constexpr std::string_view kRangeWord = "range ";
constexpr std::string_view kLegacyUsedUp = "used-up";

// An address exactly as this file writes it: lowercase, colons.
std::optional<Mac48> exact_mac(std::string_view text) {
    const auto mac = parse_mac(text);
    if (!mac || mac_text(*mac) != text) return std::nullopt;
    return mac;
}

std::optional<MacRange> exact_range(std::string_view text) {
    const auto range = parse_mac_range(text);
    if (!range || range->text() != text) return std::nullopt;
    return range;
}

struct Lines {
    std::vector<std::string_view> lines;
    bool cut_short = false;  // the last line has no line feed
};

Lines split_lines(std::string_view text) {
    Lines out;
    while (!text.empty()) {
        const auto nl = text.find('\n');
        if (nl == std::string_view::npos) {
            out.lines.push_back(text);
            out.cut_short = true;
            break;
        }
        out.lines.push_back(text.substr(0, nl));
        text.remove_prefix(nl + 1);
    }
    return out;
}

Status failure(const std::string& path, std::size_t line, const std::string& what) {
    return Status::failure(StatusCode::BadInput,
                           path + " line " + std::to_string(line) + ": " + what);
}

Result<MacState> parse_legacy(std::string_view line, const std::string& path) {
    const auto space = line.find(' ');
    const auto range = exact_range(line.substr(0, space));
    if (space == std::string_view::npos || !range) {
        return failure(path, 1,
                       quoted_text(line) + " is not a MAC state line (the file starts with \"" +
                           std::string(kMagic) + "\")");
    }
    const std::string_view next_text = line.substr(space + 1);
    MacState state{*range, range->last + 1, true};
    if (next_text != kLegacyUsedUp) {
        const auto next = exact_mac(next_text);
        if (!next || *next < range->first || *next > range->last) {
            return failure(
                path, 1,
                quoted_text(next_text) + " is not an address of the range " + range->text());
        }
        state.next = *next;
    }
    return state;
}

}  // namespace

Result<MacState> parse_mac_state(std::string_view text, const std::string& path) {
    const Lines split = split_lines(text);
    const auto& lines = split.lines;
    if (lines.empty())
        return failure(
            path, 1,
            "the file is empty; a MAC state file starts with \"" + std::string(kMagic) + "\"");
    if (split.cut_short)
        return failure(path, lines.size(),
                       quoted_text(lines.back()) + " is cut short (no line end)");
    if (lines[0] != kMagic) {
        if (lines.size() == 1) return parse_legacy(lines[0], path);
        return failure(path, 1, quoted_text(lines[0]) + " is not \"" + std::string(kMagic) + "\"");
    }
    if (lines.size() < 2 || !lines[1].starts_with(kRangeWord)) {
        return failure(path, 2, "no \"range FIRST-LAST\" line");
    }
    const auto range = exact_range(lines[1].substr(kRangeWord.size()));
    if (!range) return failure(path, 2, quoted_text(lines[1]) + " is not \"range FIRST-LAST\"");
    Mac48 next = range->first;
    for (std::size_t i = 2; i < lines.size(); ++i) {
        const std::string_view entry = lines[i];
        const auto dash = entry.find('-');
        const auto from = exact_mac(entry.substr(0, dash));
        const auto to = dash == std::string_view::npos ? from : exact_mac(entry.substr(dash + 1));
        if (!from || !to || *to < *from) {
            return failure(path, i + 1, quoted_text(entry) + " is not an address or FIRST-LAST");
        }
        if (next > range->last || *from != next || *to > range->last) {
            return failure(path, i + 1,
                           quoted_text(entry) + " does not follow " +
                               (i == 2 ? "the range's start" : "the line before") + " within " +
                               range->text());
        }
        next = *to + 1;
    }
    return MacState{*range, next, false};
}

std::string mac_state_text(const MacRange& range, Mac48 next) {
    std::string text = std::string(kMagic) + "\n" + std::string(kRangeWord) + range.text() + "\n";
    if (next > range.first) text += mac_text(range.first) + "-" + mac_text(next - 1) + "\n";
    return text;
}

std::string mac_state_line(Mac48 mac) {
    return mac_text(mac) + "\n";
}

}  // namespace kestrel::cli
