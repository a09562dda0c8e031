// The commands and options kestrelctl knows (its command table) against what tells a user
// about them: --help, each command's help, the man page and the bash completion. A name
// missing from any of them fails here.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "cli/command_table.h"
#include "cli/usage.h"

namespace kestrel::cli {
namespace {

using ::testing::HasSubstr;

std::string source_file(const char* relative) {
    std::ifstream in(std::string(KESTREL_SOURCE_DIR) + "/" + relative);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// "--no-verify" as roff writes it: "\-\-no\-verify".
std::string roff(std::string_view name) {
    std::string out;
    for (const char c : name) out += c == '-' ? std::string("\\-") : std::string(1, c);
    return out;
}

TEST(InterfaceAgreement, EveryCommandAndOptionIsInTheHelpTheManPageAndTheCompletion) {
    const std::string man = source_file("packaging/man/kestrelctl.1.in");
    const std::string completion = source_file("packaging/completion/kestrelctl");
    ASSERT_FALSE(man.empty());
    ASSERT_FALSE(completion.empty());
    for (const CommandSpec& spec : command_specs()) {
        const std::string name(spec.name);
        EXPECT_THAT(main_help(), HasSubstr("\n  " + name + " ")) << name;
        EXPECT_THAT(man, HasSubstr("\\fB" + name + "\\fR")) << name;
        EXPECT_THAT(completion, HasSubstr(" " + name)) << name;
        if (name == "help") continue;
        const char* help = command_help(name);
        ASSERT_NE(help, nullptr) << name;
        for (const auto option : spec.options) {
            const std::string o(option);
            EXPECT_THAT(help, HasSubstr(o)) << name << " " << o;
            EXPECT_THAT(man, HasSubstr(roff(o))) << name << " " << o;
            EXPECT_THAT(completion, HasSubstr(o)) << name << " " << o;
        }
    }
    for (const auto option : global_options()) {
        EXPECT_THAT(main_help(), HasSubstr(std::string(option))) << option;
        EXPECT_THAT(man, HasSubstr(roff(option))) << option;
        EXPECT_THAT(completion, HasSubstr(std::string(option))) << option;
    }
    EXPECT_THAT(man, HasSubstr("none | json"));
    EXPECT_THAT(completion, HasSubstr("auto bar lines none json"));
}

}  // namespace
}  // namespace kestrel::cli
