// A command's own arguments: flags picked out by name, the rest positional. Unknown flags are
// an error the command reports as bad usage before anything is sent.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kestrel::cli {

class ArgList {
  public:
    explicit ArgList(std::vector<std::string> words) : words_(std::move(words)) {}

    // Removes --name wherever it stands; true when it was there.
    bool flag(const std::string& name);
    // Removes --name VALUE (or --name=VALUE); nullopt when absent. A --name without its value
    // sets missing_value().
    std::optional<std::string> value(const std::string& name);

    // What is left once the flags are taken: positionals, and the first unknown "--x" if any.
    std::vector<std::string> positionals() const;
    std::optional<std::string> unknown_flag() const;
    const std::optional<std::string>& missing_value() const { return missing_; }

  private:
    std::vector<std::string> words_;
    std::optional<std::string> missing_;
};

}  // namespace kestrel::cli
