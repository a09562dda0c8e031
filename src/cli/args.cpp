#include "cli/args.h"

#include <algorithm>
#include <stdexcept>

namespace kestrel::cli {

void ArgList::check_in_table(const std::string& name, bool valued) const {
    const OptionRow* row = find_option(command_, name);
    if (!row || row->argument.empty() == valued) {
        throw std::logic_error("kestrelctl " + std::string(command_.name) + " asks for " + name +
                               (valued ? " with a value" : " as a flag") +
                               ", which its command table row does not list");
    }
}

bool ArgList::flag(const std::string& name) {
    check_in_table(name, false);
    const auto it = std::find(words_.begin(), words_.end(), name);
    if (it == words_.end()) return false;
    words_.erase(it);
    return true;
}

std::optional<std::string> ArgList::value(const std::string& name) {
    check_in_table(name, true);
    for (auto it = words_.begin(); it != words_.end(); ++it) {
        if (*it == name) {
            if (it + 1 == words_.end()) {
                missing_ = name;
                words_.erase(it);
                return std::nullopt;
            }
            std::string v = *(it + 1);
            words_.erase(it, it + 2);
            return v;
        }
        if (it->rfind(name + "=", 0) == 0) {
            std::string v = it->substr(name.size() + 1);
            words_.erase(it);
            return v;
        }
    }
    return std::nullopt;
}

std::vector<std::string> ArgList::positionals() const {
    std::vector<std::string> out;
    for (const auto& w : words_) {
        if (w.size() < 2 || w[0] != '-') out.push_back(w);
    }
    return out;
}

std::optional<std::string> ArgList::unknown_flag() const {
    for (const auto& w : words_) {
        if (w.size() >= 2 && w[0] == '-') return w;
    }
    return std::nullopt;
}

}  // namespace kestrel::cli
