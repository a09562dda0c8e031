// The batch runner seen from inside: the window column from the plan's cell to the command line
// each unit's child gets, and what the run says when a file it keeps cannot be written. Children
// here are stand-ins (/bin/true), so no device is needed.
#include "cli/batch_runner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "cli/batch_child.h"
#include "cli/batch_plan.h"
#include "support/temp_dir.h"

namespace kestrel::cli {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

UnitPlan unit(const std::string& label) {
    UnitPlan u;
    u.line = 2;
    u.label = label;
    u.device = *parse_endpoint("127.0.0.1:5000");
    return u;
}

// What run_batch writes on stderr, through a memory stream.
class ErrText {
  public:
    ErrText() : file_(open_memstream(&buf_, &size_)) {}
    ~ErrText() {
        std::fclose(file_);
        std::free(buf_);
    }
    std::FILE* file() const { return file_; }
    std::string text() {
        std::fflush(file_);
        return std::string(buf_, size_);
    }

  private:
    char* buf_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* file_;
};

PlanParse plan_with_windows(const std::vector<std::string>& cells) {
    std::string text = "device,window,label\n";
    for (std::size_t i = 0; i < cells.size(); ++i) {
        text += "127.0.0.1:" + std::to_string(5000 + i) + "," + cells[i] + ",u" +
                std::to_string(i) + "\n";
    }
    return parse_plan_text(text, "plan.csv", false);
}

TEST(BatchRunnerTest, AWindowCellTakesOneTo64OrAutoWrittenPlainly) {
    const PlanParse good = plan_with_windows({"", "1", "64", "auto", "08", "\"16\""});
    ASSERT_TRUE(good.errors.empty()) << good.errors.front();
    std::vector<std::string> windows;
    for (const auto& u : good.units)
        windows.push_back(u.window);
    EXPECT_THAT(windows, ElementsAre("", "1", "64", "auto", "8", "16"));

    const PlanParse bad =
        plan_with_windows({"0", "65", "-1", "4.5", "AUTO", "8 requests", "99999999999999999999"});
    ASSERT_EQ(bad.errors.size(), 7u);
    EXPECT_EQ(bad.errors[0],
              "plan.csv line 2: window: \"0\" is not a whole number of requests from 1 to 64 or "
              "auto (for example 8 or auto)");
    EXPECT_THAT(bad.errors[1], HasSubstr("line 3: window: \"65\" is not"));
    EXPECT_THAT(bad.errors[6], HasSubstr("line 8: window: \"99999999999999999999\" is not"));
    // The header names the column among the others.
    const PlanParse header = parse_plan_text("device,windw\n", "plan.csv", false);
    ASSERT_EQ(header.errors.size(), 1u);
    EXPECT_THAT(header.errors[0], HasSubstr("multicast_ip, reset, label, window)"));
}

TEST(BatchRunnerTest, AUnitsWindowIsAGlobalOptionOfItsChildAndNoneIsGivenWithout) {
    BatchOptions options;
    UnitPlan plan = unit("u1");
    plan.image = "img.bin";
    const std::vector<std::string> before = {"kestrelctl", "--device",         "127.0.0.1:5000",
                                             "--json",     "--progress",       "json",
                                             "--trace",    "batch-logs/u1.log"};
    const std::vector<std::string> after = {"unit",  "--label",          "u1", "--image", "img.bin",
                                            "--mac", "02:00:00:00:00:01"};
    const auto join = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    EXPECT_EQ(child_args(plan, "02:00:00:00:00:01", options), join(before, after));
    plan.window = "auto";
    EXPECT_EQ(child_args(plan, "02:00:00:00:00:01", options),
              join(join(before, {"--window", "auto"}), after));
}

TEST(BatchRunnerTest, ASummaryThatCannotBeWrittenIsSaidAndTheReportStillTakesTheUnit) {
    test::TempDir dir;
    BatchOptions options;
    options.report = (dir / "r.jsonl").string();
    options.log_dir = (dir / "logs").string();
    options.child_program = "/bin/true";
    ASSERT_TRUE(std::filesystem::create_directory(dir / "r.csv"));
    ErrText err;
    const Result<BatchOutcome> outcome =
        run_batch({unit("u1")}, options, CliStreams{stdout, err.file()});
    ASSERT_TRUE(outcome.ok()) << outcome.reason();
    EXPECT_EQ(outcome->ok, 1);
    EXPECT_THAT(err.text(), HasSubstr("kestrelctl batch: can't write the summary: \"" +
                                      (dir / "r.csv").string() + "\" exists and is a directory\n"));
    std::ifstream report(options.report);
    std::string line;
    ASSERT_TRUE(std::getline(report, line));
    EXPECT_THAT(line, HasSubstr("\"label\":\"u1\""));
}

}  // namespace
}  // namespace kestrel::cli
