// A command's own arguments: flags picked out by name, the rest positional. Unknown flags are
// an error the command reports as bad usage before anything is sent. The names asked for must
// be the command's options in the command table. One command's thread; owns its words.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/command_table.h"

namespace kestrel::cli {

class ArgList {
  public:
    // `command` is the table row of the command these words follow; it outlives the list.
    ArgList(const CommandRow& command, std::vector<std::string> words)
        : command_(command), words_(std::move(words)) {}

    // Removes --name wherever it stands; true when it was there. A name that is not a flag of
    // the command's row throws std::logic_error: the parser and the table disagree.
    [[nodiscard]] bool flag(const std::string& name);
    // Removes --name VALUE (or --name=VALUE); nullopt when absent. A --name without its value
    // sets missing_value(). A name that is not a valued option of the row throws
    // std::logic_error.
    [[nodiscard]] std::optional<std::string> value(const std::string& name);

    // What is left once the flags are taken: positionals, and the first unknown "--x" if any.
    [[nodiscard]] std::vector<std::string> positionals() const;
    [[nodiscard]] std::optional<std::string> unknown_flag() const;
    const std::optional<std::string>& missing_value() const { return missing_; }

  private:
    void check_in_table(const std::string& name, bool valued) const;

    const CommandRow& command_;
    std::vector<std::string> words_;
    std::optional<std::string> missing_;
};

}  // namespace kestrel::cli
