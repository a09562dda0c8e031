#include "cli/completion_script.h"

#include "cli/command_table.h"

namespace kestrel::cli {
namespace {

constexpr const char* kHead =
    R"(# bash completion for kestrelctl                            -*- shell-script -*-
# Written at build time from kestrelctl's command table (src/cli/command_table.cpp).

_kestrelctl()
{
    local cur prev words cword
    _init_completion || return

)";

constexpr const char* kFindCommand = R"(
    # The command is the first word that is neither an option nor an option's value.
    local i command="" command_at=0
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            %VALUED%) ((i++)) ;;
            -*) ;;
            *)
                command=${words[i]}
                command_at=$i
                break
                ;;
        esac
    done

    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "$global_opts" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        fi
        return
    fi

    case $command in
)";

constexpr const char* kTail = R"(    esac
} &&
    complete -F _kestrelctl kestrelctl

# ex: filetype=sh
)";

std::string join(const std::vector<std::string_view>& words, std::string_view between) {
    std::string out;
    for (const auto w : words) {
        if (!out.empty()) out += between;
        out += w;
    }
    return out;
}

// What `case $prev in` does after an option that takes a value before it returns; empty when
// there is nothing to offer.
std::string value_action(const OptionRow& row) {
    switch (row.kind) {
        case ValueKind::File:
            return "_filedir";
        case ValueKind::Choice:
            return "COMPREPLY=($(compgen -W '" + std::string(row.choices) + "' -- \"$cur\"))";
        case ValueKind::Device:
            return "[[ -n ${KESTREL_DEVICE-} ]] && COMPREPLY=($(compgen -W \"$KESTREL_DEVICE\" -- "
                   "\"$cur\"))";
        default:
            return "";
    }
}

// "    case $prev in ... esac" for the options of rows that take a value, or empty.
std::string prev_cases(const std::vector<OptionRow>& rows, const std::string& indent) {
    std::string out;
    for (const OptionRow& row : rows) {
        if (row.argument.empty()) continue;
        const std::string action = value_action(row);
        out += indent + "    " + std::string(row.name) + ")\n";
        if (!action.empty()) out += indent + "        " + action + "\n";
        out += indent + "        return\n" + indent + "        ;;\n";
    }
    return out.empty() ? out : indent + "case $prev in\n" + out + indent + "esac\n";
}

std::string option_words(const CommandRow& row) {
    std::vector<std::string_view> names;
    for (const OptionRow& o : row.options)
        names.push_back(o.name);
    names.push_back("--help");
    return join(names, " ");
}

std::string command_case(const CommandRow& row) {
    const std::string in = "            ";
    std::string out = "        " + std::string(row.name) + ")\n" + prev_cases(row.options, in);
    const std::string options = "COMPREPLY=($(compgen -W '" + option_words(row) + "' -- \"$cur\"))";
    if (row.operand == ValueKind::File) {
        out += in + "if [[ $cur == -* ]]; then\n" + in + "    " + options + "\n" + in + "else\n" +
               in + "    _filedir\n" + in + "fi\n";
    } else if (row.operand == ValueKind::Command) {
        out +=
            in +
            "((cword == command_at + 1)) && COMPREPLY=($(compgen -W \"$commands\" -- \"$cur\"))\n";
    } else if (!row.words.empty()) {
        std::vector<std::string_view> names;
        for (const WordRow& w : row.words)
            names.push_back(w.name);
        out += in + "if ((cword == command_at + 1)); then\n" + in +
               "    COMPREPLY=($(compgen -W '" + join(names, " ") + " --help' -- \"$cur\"))\n" +
               in + "elif ((cword == command_at + 2)); then\n" + in +
               "    case ${words[command_at + 1]} in\n";
        for (const WordRow& w : row.words) {
            if (w.choices.empty()) continue;
            out += in + "        " + std::string(w.name) + ") COMPREPLY=($(compgen -W '" +
                   std::string(w.choices) + "' -- \"$cur\")) ;;\n";
        }
        out += in + "    esac\n" + in + "fi\n";
    } else {
        out += in + "[[ $cur == -* ]] && COMPREPLY=($(compgen -W '" + option_words(row) +
               "' -- \"$cur\"))\n";
    }
    return out + in + ";;\n";
}

}  // namespace

std::string bash_completion_script() {
    std::vector<std::string_view> globals;
    std::vector<std::string_view> valued;
    for (const OptionRow& row : global_option_rows()) {
        globals.push_back(row.name);
        if (!row.alias.empty()) globals.push_back(row.alias);
        if (!row.argument.empty()) valued.push_back(row.name);
    }
    std::string out = kHead;
    out += "    local global_opts=\"" + join(globals, " ") + "\"\n";
    out += "    local commands=\"" + join(command_names(), " ") + "\"\n\n";
    out += prev_cases(global_option_rows(), "    ");
    std::string find = kFindCommand;
    find.replace(find.find("%VALUED%"), 8, join(valued, " | "));
    out += find;
    for (const CommandRow& row : command_rows()) {
        if (!row.hidden) out += command_case(row);
    }
    return out + kTail;
}

}  // namespace kestrel::cli
