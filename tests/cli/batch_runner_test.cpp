// The batch runner seen from inside: the command line each unit's child gets, and what the run
// says when a file it keeps cannot be written. Children here are stand-ins (/bin/true), so no
// device is needed.
#include "cli/batch_runner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "cli/batch_child.h"
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

TEST(BatchRunnerTest, ASummaryThatCannotBeWrittenIsSaidAndTheReportStillTakesTheUnit) {
    test::TempDir dir;
    BatchOptions options;
    options.report = (dir / "r.jsonl").string();
    options.log_dir = (dir / "logs").string();
    options.child_program = "/bin/true";
    ASSERT_TRUE(std::filesystem::create_directory(dir / "r.csv"));
    ErrText err;
    const BatchOutcome outcome = run_batch({unit("u1")}, options, CliStreams{stdout, err.file()});
    EXPECT_EQ(outcome.ok, 1);
    EXPECT_THAT(err.text(), HasSubstr("kestrelctl batch: can't write the summary: \"" +
                                      (dir / "r.csv").string() + "\" exists and is a directory\n"));
    std::ifstream report(options.report);
    std::string line;
    ASSERT_TRUE(std::getline(report, line));
    EXPECT_THAT(line, HasSubstr("\"label\":\"u1\""));
}

}  // namespace
}  // namespace kestrel::cli
