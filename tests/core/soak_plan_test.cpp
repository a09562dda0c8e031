// kestrel-soak's options, its simulator arguments, its verdicts and the lines it prints.
#include <gtest/gtest.h>

#include "soak_plan.h"

namespace kestrel::test {
namespace {

using soak::RunKind;
using soak::RunResult;
using soak::Verdict;

soak::Parsed parse(std::vector<std::string> args) {
    return soak::parse_soak_args(args);
}

TEST(SoakOptions, DefaultsAreTwentyWholeChipRunsEachAtOneInAThousand) {
    const soak::Parsed p = parse({});
    ASSERT_TRUE(p.error.empty());
    EXPECT_EQ(p.options.reads, 20);
    EXPECT_EQ(p.options.writes, 20);
    EXPECT_EQ(p.options.pages, 16384);
    EXPECT_EQ(p.options.load, 0);
    // Duplicated requests are in the mix: they shift page loads, which only an erase mends.
    EXPECT_EQ(soak::devsim_fault_args(p.options.faults, 5),
              "--seed 5 --lose-request 0.001000 --lose-reply 0.001000 --nak 0.001000 "
              "--late-reply 0.001000 --dup-reply 0.001000 --dup-request 0.001000 --late-ms "
              "60-1000 --late-next 0.500000 --dup-gap-us 200");
    EXPECT_EQ(soak::devsim_timing_args(p.options.faults), "");
}

TEST(SoakOptions, LinkTimingPassesThroughToEveryRunAndLoadIsCounted) {
    const soak::Parsed p = parse({"--rate", "0", "--reply-jitter", "0.02", "3", "--link-delay-us",
                                  "150", "--rx-queue", "4", "--load", "2"});
    ASSERT_TRUE(p.error.empty()) << p.error;
    EXPECT_EQ(p.options.load, 2);
    EXPECT_EQ(soak::devsim_fault_args(p.options.faults, 7),
              "--seed 7 --reply-jitter 0.020000 3 --link-delay-us 150 --rx-queue 4");
    EXPECT_EQ(soak::devsim_timing_args(p.options.faults),
              "--reply-jitter 0.020000 3 --link-delay-us 150 --rx-queue 4");
    EXPECT_NE(parse({"--reply-jitter", "0.02"}).error.find("--reply-jitter"), std::string::npos);
    EXPECT_NE(parse({"--load", "65"}).error.find("--load"), std::string::npos);
}

TEST(SoakOptions, RateSetsEveryKindAndLaterOverridesWin) {
    const soak::Parsed p = parse({"--rate", "0.02", "--nak", "0", "--dup-request", "0.01",
                                  "--late-ms", "100-200", "--reply-delay-us", "300"});
    ASSERT_TRUE(p.error.empty()) << p.error;
    EXPECT_EQ(soak::devsim_fault_args(p.options.faults, 1),
              "--seed 1 --lose-request 0.020000 --lose-reply 0.020000 --late-reply 0.020000 "
              "--dup-reply 0.020000 --dup-request 0.010000 --late-ms 100-200 --late-next "
              "0.500000 --dup-gap-us 200 --reply-delay-us 300");
}

TEST(SoakOptions, NoFaultsGiveOnlyTheSeed) {
    const soak::Parsed p = parse({"--rate", "0"});
    EXPECT_EQ(soak::devsim_fault_args(p.options.faults, 3), "--seed 3");
}

TEST(SoakOptions, QuickIsTwoShortReadsAndWrites) {
    const soak::Parsed p = parse({"--quick"});
    EXPECT_EQ(p.options.reads, 2);
    EXPECT_EQ(p.options.writes, 2);
    EXPECT_EQ(p.options.pages, 512);
    EXPECT_EQ(parse({"--quick", "--runs", "3"}).options.reads, 3);
}

TEST(SoakOptions, RefusesBadValuesNamingTheOption) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--rate", "1.5"},
                                               {"--rate", "-0.1"},
                                               {"--rate", "0.1x"},
                                               {"--rate"},
                                               {"--pages", "0"},
                                               {"--pages", "16385"},
                                               {"--jobs", "0"},
                                               {"--runs", "two"},
                                               {"--late-ms", "1000-60"},
                                               {"--late-ms", "60"},
                                               {"--late-ms", "-1-5"}}) {
        const soak::Parsed p = parse(args);
        EXPECT_NE(p.error.find(args[0]), std::string::npos) << args[0] << " gave: " << p.error;
    }
    EXPECT_EQ(parse({"--bogus"}).error, "unknown option --bogus");
    EXPECT_TRUE(parse({"--help"}).help);
}

TEST(SoakVerdict, OnlyAReportedSuccessOverEqualBytesIsExact) {
    EXPECT_EQ(soak::verdict_of(true, true), Verdict::Exact);
    EXPECT_EQ(soak::verdict_of(true, false), Verdict::FalseSuccess);
    EXPECT_EQ(soak::verdict_of(false, true), Verdict::Failed);
    EXPECT_EQ(soak::verdict_of(false, false), Verdict::Failed);
}

RunResult made(RunKind kind, bool success, bool equal, double seconds, std::uint64_t faults) {
    RunResult r;
    r.kind = kind;
    r.reported_success = success;
    r.bytes_equal = equal;
    r.seconds = seconds;
    r.faults = faults;
    return r;
}

TEST(SoakLines, EachVerdictPrintsItsOwnLine) {
    RunResult r = made(RunKind::Read, true, true, 187.214, 5312);
    r.seed = 9;
    EXPECT_EQ(soak::run_line(3, r), "run 3 read exact 187.21 s  (5312 faults injected, seed 9)");
    r.kind = RunKind::Write;
    r.bytes_equal = false;
    EXPECT_EQ(soak::run_line(4, r),
              "run 4 write FALSE SUCCESS 187.21 s  (5312 faults injected, seed 9)");
    r.reported_success = false;
    r.message = "Flash write one Page error!";
    EXPECT_EQ(soak::run_line(5, r),
              "run 5 write failed \"Flash write one Page error!\" 187.21 s  (5312 faults "
              "injected, seed 9)");
    r.error = "kestrel-devsim did not start";
    EXPECT_EQ(soak::run_line(6, r).rfind(
                  "run 6 write failed \"could not run: kestrel-devsim did not start\"", 0),
              0u);
}

TEST(SoakSummary, CountsVerdictsAndTimeLostPerFaultOverExactRunsOnly) {
    const std::vector<RunResult> runs = {
        made(RunKind::Read, true, true, 30.0, 100),   // 10 s over a 20 s clean read
        made(RunKind::Read, true, true, 50.0, 300),   // 30 s
        made(RunKind::Read, false, false, 5.0, 90),   // failed: not in the time lost
        made(RunKind::Write, true, false, 14.0, 40),  // false success: not in it either
        made(RunKind::Write, true, true, 16.0, 60),
    };
    const soak::Totals t = soak::count(runs);
    EXPECT_EQ(t.runs, 5);
    EXPECT_EQ(t.exact, 3);
    EXPECT_EQ(t.failed, 1);
    EXPECT_EQ(t.false_successes, 1);
    // (40 s mean - 20 s) / 200 faults mean = 100 ms.
    EXPECT_DOUBLE_EQ(*soak::ms_lost_per_fault(runs, RunKind::Read, 20.0), 100.0);
    EXPECT_DOUBLE_EQ(*soak::ms_lost_per_fault(runs, RunKind::Write, 10.0), 100.0);
    EXPECT_FALSE(soak::ms_lost_per_fault({runs[2]}, RunKind::Read, 20.0));
    EXPECT_EQ(soak::summary_line(runs, 20.0, 10.0),
              "summary runs 5 exact 3 failed 1 false-successes 1 mean 23.00 s; read mean 28.33 s "
              "(clean 20.00 s, 100.0 ms lost per fault); write mean 15.00 s (clean 10.00 s, "
              "100.0 ms lost per fault)");
}

TEST(SoakSummary, RunsThatCouldNotBeCarriedOutCountAsFailed) {
    RunResult r = made(RunKind::Read, true, true, 1.0, 0);
    r.error = "can't start a process";
    const soak::Totals t = soak::count({r});
    EXPECT_EQ(t.exact, 0);
    EXPECT_EQ(t.failed, 1);
    EXPECT_EQ(t.errors, 1);
}

TEST(SoakResultLine, SurvivesTheTripThroughThePipe) {
    RunResult r = made(RunKind::Write, false, true, 12.5, 77);
    r.seed = 123456789012ull;
    r.exchanges = 1064960;
    r.pages = 16384;
    r.message = "Flash write one Page error!\t/ program page 000600 failed\n";
    const auto back = soak::decode_result(soak::encode_result(r) + "\n");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->kind, RunKind::Write);
    EXPECT_FALSE(back->reported_success);
    EXPECT_TRUE(back->bytes_equal);
    EXPECT_DOUBLE_EQ(back->seconds, 12.5);
    EXPECT_EQ(back->faults, 77u);
    EXPECT_EQ(back->seed, 123456789012ull);
    EXPECT_EQ(soak::exchanges_text(*back), " 1064960 exchanges (65.0 a page)");
    EXPECT_EQ(back->message, "Flash write one Page error! / program page 000600 failed ");
    EXPECT_EQ(back->error, "");
    EXPECT_FALSE(soak::decode_result(""));
    EXPECT_FALSE(soak::decode_result("x 1 1 1.0 0 0\t\t"));
    EXPECT_FALSE(soak::decode_result("r 1 1 1.0 0 0 no tabs"));
}

}  // namespace
}  // namespace kestrel::test
