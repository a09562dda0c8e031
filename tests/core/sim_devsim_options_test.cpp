// kestrel-devsim's options table against what the program prints and installs: --help and the
// generated man page name exactly the table's options, and the parser reads every value the
// soak writes back. Plus the values it refuses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sim/devsim_options.h"
#include "sim/fault_options.h"

namespace kestrel::test {
namespace {

std::set<std::string> table_options() {
    std::set<std::string> names;
    for (const sim::OptionSection& section : sim::devsim_option_sections()) {
        for (const sim::OptionDoc& doc : section.options)
            names.insert(std::string(doc.name));
    }
    return names;
}

std::string program_help() {
    std::string out;
    FILE* pipe = popen(KESTREL_DEVSIM_PATH " --help", "r");
    char buf[256];
    while (pipe && std::fgets(buf, sizeof buf, pipe))
        out += buf;
    if (pipe) pclose(pipe);
    return out;
}

// The option names on the lines that match `line` (its first group).
std::set<std::string> options_in(const std::string& text, const std::regex& line) {
    std::set<std::string> names;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        if (std::regex_search(l, m, line)) names.insert(m[1]);
    }
    return names;
}

TEST(DevsimOptionsTable, HelpAndTheInstalledManPageNameExactlyTheTablesOptions) {
    const std::set<std::string> table = table_options();
    for (const char* needed : {"--move-at-commit", "--late-next", "--dup-request", "--late-ms",
                               "--reply-delay-us", "--reply-jitter", "--link-delay-us",
                               "--rx-queue", "--sector-erase-busy-polls", "--sector-erase-us"}) {
        EXPECT_EQ(table.count(needed), 1u) << needed;
    }
    const std::string help = program_help();
    EXPECT_EQ(options_in(help, std::regex("^  (--[a-z-]+)")), table);
    EXPECT_NE(help.find("  --late-ms MS | MIN-MAX"), std::string::npos);
    EXPECT_NE(help.find("  --reply-jitter P MAX_MS"), std::string::npos);

    std::ifstream page_file(KESTREL_DEVSIM_MAN_PAGE);
    ASSERT_TRUE(page_file) << KESTREL_DEVSIM_MAN_PAGE;
    std::ostringstream page;
    page << page_file.rdbuf();
    std::string unescaped = std::regex_replace(page.str(), std::regex(R"(\\-)"), "-");
    EXPECT_EQ(options_in(unescaped, std::regex(R"(^\.BI? (--[a-z-]+))")), table);
    EXPECT_NE(unescaped.find(".BI --late-ms \" MS | MIN-MAX\""), std::string::npos);
}

TEST(DevsimOptionsTable, ReadsBackEverySettingTheSoakWrites) {
    sim::LinkFaults f{.seed = 42,
                      .lose_request = 0.001,
                      .lose_reply = 0.002,
                      .nak = 0.003,
                      .late_reply = 0.004,
                      .late_next = 0.5,
                      .other_port_reply = 0.006,
                      .foreign_datagram = 0.007,
                      .dup_reply = 0.008,
                      .dup_request = 0.009};
    f.late_reply_ms = 60;
    f.late_reply_max_ms = 1000;
    f.dup_gap_us = 250;
    f.reply_delay_us = 300;
    f.reply_jitter = 0.02;
    f.reply_jitter_max_ms = 3;
    f.link_delay_us = 150;
    f.rx_queue = 4;
    std::vector<std::string> args;
    std::istringstream words(sim::fault_args(f) + " " + sim::timing_args(f));
    for (std::string w; words >> w;)
        args.push_back(w);
    const sim::DevsimArgs parsed = sim::parse_devsim_args(args);
    ASSERT_EQ(parsed.error, "");
    const sim::LinkFaults& g = parsed.config.server.faults;
    EXPECT_EQ(g.seed, 42u);
    EXPECT_DOUBLE_EQ(g.lose_request, 0.001);
    EXPECT_DOUBLE_EQ(g.foreign_datagram, 0.007);
    EXPECT_DOUBLE_EQ(g.dup_request, 0.009);
    EXPECT_DOUBLE_EQ(g.late_next, 0.5);
    EXPECT_EQ(g.late_reply_max_ms, 1000u);
    EXPECT_EQ(g.dup_gap_us, 250u);
    EXPECT_EQ(g.reply_delay_us, 300u);
    EXPECT_DOUBLE_EQ(g.reply_jitter, 0.02);
    EXPECT_EQ(g.reply_jitter_max_ms, 3u);
    EXPECT_EQ(g.link_delay_us, 150u);
    EXPECT_EQ(g.rx_queue, 4u);
    EXPECT_EQ(sim::timing_args(sim::LinkFaults{}), "");
}

TEST(DevsimOptionsTable, DeviceAndChipOptionsLandInTheirFields) {
    const std::vector<std::string> args = {"--listen",
                                           "127.0.0.9:5712",
                                           "--mac",
                                           "02:00:00:00:00:1f",
                                           "--ts-port",
                                           "4000",
                                           "--flash-id",
                                           "ef:40:16",
                                           "--sector-erase-busy-polls",
                                           "7",
                                           "--sector-erase-us",
                                           "30000",
                                           "--no-echo",
                                           "--move-at-commit"};
    const sim::DevsimArgs parsed = sim::parse_devsim_args(args);
    ASSERT_EQ(parsed.error, "");
    const sim::DevsimConfig& c = parsed.config;
    EXPECT_EQ(c.server.address, "127.0.0.9");
    EXPECT_EQ(c.server.port, 5712);
    EXPECT_THAT(c.mac, ::testing::ElementsAre(0x02, 0, 0, 0, 0, 0x1f));
    EXPECT_EQ(c.ts_port, 4000);
    EXPECT_THAT(c.flash_id, ::testing::ElementsAre(0xEF, 0x40, 0x16));
    EXPECT_EQ(c.sector_erase_busy_polls, 7);
    EXPECT_EQ(c.sector_erase_us, 30000u);
    EXPECT_TRUE(c.server.faults.no_echo);
    EXPECT_TRUE(c.server.move_at_commit);
}

TEST(DevsimOptionsTable, RefusesUnusableValuesNamingTheOption) {
    const std::vector<std::vector<std::string>> bad = {{"--reply-delay-us", "-5"},
                                                       {"--nak", "abc"},
                                                       {"--nak", "1.5"},
                                                       {"--mac", "1:2:3:4:5:6"},
                                                       {"--listen", "localhost:5000"},
                                                       {"--listen", "127.0.0.1:0"},
                                                       {"--rx-queue", "0"},
                                                       {"--reply-jitter", "0.5"},
                                                       {"--reply-jitter", "0.5", "0"},
                                                       {"--ts-port", "65536"},
                                                       {"--flash-id", "c2:20"},
                                                       {"--late-ms", "1000-60"},
                                                       {"--busy-polls", "many"}};
    for (const auto& args : bad) {
        const sim::DevsimArgs parsed = sim::parse_devsim_args(args);
        EXPECT_NE(parsed.error.find(args[0]), std::string::npos)
            << args[0] << " " << args[1] << " gave \"" << parsed.error << '"';
    }
    EXPECT_EQ(sim::parse_devsim_args(std::vector<std::string>{"--bogus"}).error,
              "unknown option --bogus");
    EXPECT_EQ(sim::parse_devsim_args(std::vector<std::string>{"--version", "--bogus"}).action,
              sim::DevsimArgs::Action::Version);
}

}  // namespace
}  // namespace kestrel::test
