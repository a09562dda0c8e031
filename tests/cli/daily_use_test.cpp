// What a user meets every day: help and did-you-mean, one prefix per message, host names, the
// final line's per-stage figures, the notice at Ctrl-C during the erase, and set showing the
// value it set.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli_fixture.h"

namespace kestrel::test {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;

class DailyUseTest : public CliFixture {};

TEST_F(DailyUseTest, HelpSubcommandAndDidYouMeanForCommandsAndOptions) {
    EXPECT_THAT(run({"help"}, false).out, HasSubstr("Usage: kestrelctl [--device"));
    const CliRun write = run({"help", "write"}, false);
    EXPECT_EQ(write.code, 0);
    EXPECT_THAT(write.out, HasSubstr("--keep-rest"));

    const CliRun typo = run({"help", "wirte"}, false);
    EXPECT_EQ(typo.code, 2);
    EXPECT_THAT(typo.err,
                HasSubstr("kestrelctl help: no command \"wirte\"; did you mean \"write\"?"));

    const std::uint64_t before = requests();
    const CliRun command = run({"infoo"});
    EXPECT_EQ(command.code, 2);
    EXPECT_THAT(command.err,
                HasSubstr("kestrelctl: unknown command \"infoo\"; did you mean \"info\"?"));
    const CliRun option = run({"read", "x.bin", "--verfy"});
    EXPECT_EQ(option.code, 2);
    EXPECT_EQ(option.err,
              "kestrelctl read: unknown option --verfy; did you mean \"--verify\"? "
              "(for example: read dump.bin --verify)\n");
    EXPECT_THAT(run({"scan", "--jsn"}).err, HasSubstr("did you mean \"--json\"?"));
    const CliRun setting = run({"set", "tsport", "4000"});
    EXPECT_EQ(setting.code, 2);
    EXPECT_THAT(
        setting.err,
        HasSubstr(
            "kestrelctl set: unknown setting \"tsport\"; did you mean \"ts-port\"? (ip, mac,"));
    EXPECT_EQ(requests(), before);
}

TEST_F(DailyUseTest, EveryMessageNamesTheCommandOnce) {
    for (const auto& [args, expected] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"write", "x.bin", "--offset", "zz"},
              "kestrelctl write: --offset \"zz\" is not an address"},
             {{"set", "ip", "300.1.1.1:5000"}, "kestrelctl set ip: enter four numbers"},
             {{"scan", "1.2.3.4-1"},
              "kestrelctl scan: in \"1.2.3.4-1\" the last number is below the first"},
             {{}, "kestrelctl: no command given"},
         }) {
        const CliRun r = run(args);
        EXPECT_THAT(r.err, HasSubstr(expected));
        for (const char* twice :
             {"write: write", "set: set", "scan: scan", "kestrelctl kestrelctl"}) {
            EXPECT_THAT(r.err, Not(HasSubstr(twice)));
        }
    }
}

TEST_F(DailyUseTest, DeviceMayBeAHostName) {
    const std::string port = std::to_string(server_->port());
    const CliRun r = run({"--device", "localhost:" + port, "--json", "info"}, false);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("\"device\":\"127.0.0.1:" + port + "\""));

    const std::uint64_t before = requests();
    const CliRun bad = run({"--device", "no-such-unit.invalid:5000", "info"}, false);
    EXPECT_EQ(bad.code, 2);
    EXPECT_THAT(bad.err, HasSubstr("kestrelctl info: --device: the name \"no-such-unit.invalid\" "
                                   "does not resolve to an IPv4 address ("));
    EXPECT_EQ(run({"--device", "localhost", "info"}, false).code, 2);
    EXPECT_EQ(requests(), before);
}

TEST_F(DailyUseTest, FinalLineGivesEachStageItsOwnTimeAndRate) {
    ByteVector image = pattern_bytes(16 * 256);
    std::fill(image.begin() + 4 * 256, image.begin() + 8 * 256, 0xFF);  // 4 blank pages, skipped
    const CliRun r = run({"write", image_file(image)});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(
        r.out,
        HasSubstr("(4096 bytes, 16 pages): erased, 12 programmed, 4 skipped, 12 verified\n"));
    EXPECT_THAT(
        r.out,
        MatchesRegex("(.|\n)*\nerase [0-9.]+ s, program 12 pages in [0-9.]+ s \\([0-9.]+ KiB/s\\), "
                     "verify 12 pages in [0-9.]+ s \\([0-9.]+ KiB/s\\); [0-9.]+ s in all, "
                     "[0-9]+ exchanges, [0-9]+ faults recovered\n"));
    const CliRun json = run({"--json", "write", image_file(image)});
    ASSERT_EQ(json.code, 0) << json.err;
    EXPECT_THAT(
        json.out,
        MatchesRegex(
            ".*\"stages\":\\{\"erase\":\\{\"seconds\":[0-9.]+\\},\"program\":\\{\"seconds\":"
            "[0-9.]+,\"pages\":12,\"rate_kib_s\":[0-9.]+\\},\"verify\":\\{\"seconds\":[0-9.]+,"
            "\"pages\":12,\"rate_kib_s\":[0-9.]+\\}\\}.*"));
}

TEST_F(DailyUseTest, CtrlCDuringTheEraseSaysAtOnceWhatHappensNext) {
    bool pressed = false;
    set_hook([&pressed](const sim::Exchange& ex) {
        if (ex.kind == sim::Exchange::Kind::Write && ex.address == 0x10 && ex.word[0] == 0xC7 &&
            !pressed) {
            pressed = true;
            cli::note_interrupt();
        }
    });
    const CliRun r = run({"write", image_file(pattern_bytes(4096))});
    set_hook({});
    EXPECT_EQ(r.code, 130);
    const std::string notice =
        "the chip is erasing; stopping after it, press Ctrl-C again to stop now\n";
    EXPECT_THAT(r.err, HasSubstr(notice));
    EXPECT_EQ(r.err.find(notice), r.err.rfind(notice));
    EXPECT_EQ(page_programs(), 0);
}

TEST_F(DailyUseTest, SetMulticastIpWhileMulticastIsOffShowsTheValueSet) {
    device_.config().set_multicast_enable(0);
    const CliRun r = run({"set", "multicast-ip", "239.9.8.7"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(
        r.out,
        HasSubstr(
            "multicast     off\nmulticast_ip  239.9.8.7 (not in effect: multicast is off)\n"));
    const CliRun json = run({"--json", "set", "ts-port", "4000"});
    ASSERT_EQ(json.code, 0) << json.err;
    EXPECT_THAT(json.out, HasSubstr("\"multicast\":false,\"multicast_ip\":\"239.9.8.7\""));
}

}  // namespace
}  // namespace kestrel::test
