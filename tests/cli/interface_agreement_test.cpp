// kestrelctl's command table against everything that tells a user about it or acts on it:
// --help and each command's help, the man page and the bash completion the build wrote, and the
// argument parsers. A name missing from any of them, a stale built file, or a parser that takes
// an option the table does not list (or misses one it lists) fails here.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "cli/command_table.h"
#include "cli/completion_script.h"
#include "cli/kestrelctl.h"
#include "cli/man_page.h"
#include "cli/text_layout.h"
#include "cli/usage.h"
#include "cli_fixture.h"

namespace kestrel::cli {
namespace {

using test::slurp;
using ::testing::HasSubstr;
using ::testing::Not;

std::string file_text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string built_file(const char* relative) {
    return file_text(std::string(KESTREL_BINARY_DIR) + "/" + relative);
}

// "--no-verify" as roff writes it: "\-\-no\-verify".
std::string roff(std::string_view name) {
    std::string out;
    for (const char c : name)
        out += c == '-' ? std::string("\\-") : std::string(1, c);
    return out;
}

struct CtlRun {
    int code = -1;
    std::string err;
};

// kestrelctl in-process; none of these runs gets as far as sending anything.
CtlRun run(const std::vector<std::string>& args) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    CtlRun r;
    r.code = run_kestrelctl(args, CliStreams{out, err, false});
    (void)slurp(out);
    r.err = slurp(err);
    return r;
}

TEST(InterfaceAgreement, TheBuiltManPageAndCompletionAreTheTablesOwn) {
    const std::string page_template = built_file("packaging/man/kestrelctl.1.template");
    ASSERT_FALSE(page_template.empty());
    std::string missing;
    const auto page = kestrelctl_man_page(page_template, missing);
    ASSERT_TRUE(page) << missing;
    EXPECT_EQ(built_file("packaging/man/kestrelctl.1"), *page);
    EXPECT_EQ(built_file("packaging/completion/kestrelctl"), bash_completion_script());

    // A template without one of its markers is refused, not written half.
    std::string cut = page_template;
    cut.erase(cut.find(kManCommandsMarker), kManCommandsMarker.size());
    EXPECT_FALSE(kestrelctl_man_page(cut, missing));
    EXPECT_EQ(missing, kManCommandsMarker);
}

TEST(InterfaceAgreement, EveryCommandAndOptionIsInTheHelpTheManPageAndTheCompletion) {
    const std::string man = built_file("packaging/man/kestrelctl.1");
    const std::string completion = built_file("packaging/completion/kestrelctl");
    ASSERT_FALSE(man.empty());
    ASSERT_FALSE(completion.empty());
    for (const CommandRow& row : command_rows()) {
        const std::string name(row.name);
        const auto help = command_help(name);
        if (row.hidden) {
            EXPECT_FALSE(help) << name;
            EXPECT_THAT(main_help(), Not(HasSubstr("\n  " + name))) << name;
            EXPECT_THAT(man, Not(HasSubstr(".SS " + name + "\n"))) << name;
            EXPECT_THAT(completion, Not(HasSubstr(" " + name + ")\n"))) << name;
            continue;
        }
        ASSERT_TRUE(help) << name;
        EXPECT_THAT(main_help(), HasSubstr("\n  " + name + " ")) << name;
        EXPECT_THAT(man, HasSubstr(".SS " + name + "\n")) << name;
        EXPECT_THAT(completion, HasSubstr(" " + name + ")\n")) << name;
        for (const OptionRow& option : row.options) {
            const std::string o(option.name);
            EXPECT_THAT(row.synopsis, HasSubstr(o)) << name << " " << o;
            EXPECT_THAT(*help, HasSubstr("  " + o)) << name << " " << o;
            EXPECT_THAT(man, HasSubstr(roff(o))) << name << " " << o;
            EXPECT_THAT(completion, HasSubstr(o)) << name << " " << o;
        }
        for (const WordRow& word : row.words) {
            EXPECT_THAT(*help, HasSubstr(name + " " + std::string(word.name) + " ")) << name;
            EXPECT_THAT(completion, HasSubstr(std::string(word.name))) << name;
        }
    }
    for (const OptionRow& option : global_option_rows()) {
        EXPECT_THAT(main_help(), HasSubstr(std::string(option.name))) << option.name;
        EXPECT_THAT(man, HasSubstr(roff(option.name))) << option.name;
        EXPECT_THAT(completion, HasSubstr(" " + std::string(option.name))) << option.name;
    }
    for (const ExitRow& row : exit_rows()) {
        EXPECT_THAT(main_help(), HasSubstr("\n  " + std::to_string(row.code) + " ")) << row.code;
        EXPECT_THAT(man, HasSubstr(".B " + std::to_string(row.code) + "\n")) << row.code;
    }
    EXPECT_THAT(completion, HasSubstr("'auto bar lines none json'"));
}

TEST(InterfaceAgreement, TheParsersTakeEveryOptionOfTheTableAndNoOther) {
    for (const CommandRow& row : command_rows()) {
        for (const OptionRow& option : row.options) {
            std::vector<std::string> args = {"--device", "127.0.0.1:9", std::string(row.name),
                                             std::string(option.name)};
            if (!option.argument.empty()) args.push_back("1");
            args.push_back("--zz-not-an-option");
            CtlRun r;
            ASSERT_NO_THROW(r = run(args)) << row.name << " " << option.name;
            EXPECT_EQ(r.code, 2) << row.name << " " << option.name;
            EXPECT_THAT(r.err, Not(HasSubstr("unknown option " + std::string(option.name))));
            if (!row.hidden) {
                EXPECT_THAT(r.err, HasSubstr("unknown option --zz-not-an-option")) << row.name;
            }
        }
    }
    for (const WordRow& word : find_command("set")->words) {
        const CtlRun r = run({"--device", "127.0.0.1:9", "set", std::string(word.name), "zz"});
        EXPECT_EQ(r.code, 2) << word.name;
        EXPECT_THAT(r.err, Not(HasSubstr("unknown setting"))) << word.name;
    }
    for (const OptionRow& option : global_option_rows()) {
        for (const std::string_view spelling : {option.name, option.alias}) {
            if (spelling.empty()) continue;
            std::vector<std::string> args = {std::string(spelling)};
            if (option.kind == ValueKind::Choice) {
                args.emplace_back(option.choices.substr(0, option.choices.find(' ')));
            } else if (!option.argument.empty()) {
                args.emplace_back("127.0.0.1:9");
            }
            args.emplace_back("help");
            const CtlRun r = run(args);
            EXPECT_EQ(r.code, 0) << spelling << ": " << r.err;
            EXPECT_EQ(r.err, "") << spelling;
        }
    }
}

TEST(InterfaceAgreement, HelpLinesFitTheWidthAndKeepBracketedGroupsWhole) {
    std::vector<std::string> texts = {main_help()};
    for (const auto name : command_names())
        texts.push_back(command_help(name).value_or(""));
    for (const std::string& text : texts) {
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            EXPECT_LE(line.size(), kHelpWidth) << line;
            if (!line.empty()) {
                EXPECT_NE(line.back(), ' ') << line;
            }
        }
    }
    const auto units =
        synopsis_units("IMAGE [--no-verify | --verify-all] [--offset A [--keep-rest]]  [-j N]");
    EXPECT_EQ(units, (std::vector<std::string_view>{"IMAGE", "[--no-verify | --verify-all]",
                                                    "[--offset A [--keep-rest]]", "[-j N]"}));
    EXPECT_EQ(roff_synopsis("A.B.C.D/N [--port N] on|off"),
              "\\fIA.B.C.D/N\\fR [\\fB\\-\\-port\\fR \\fIN\\fR] \\fBon\\fR|\\fBoff\\fR");
    EXPECT_EQ(roff_sentences("first one. Then .dot and a\\b"),
              "First one.\nThen .dot and a\\eb.\n");
    EXPECT_EQ(roff_sentences(".hidden request"), "\\&.hidden request.\n");
}

}  // namespace
}  // namespace kestrel::cli
