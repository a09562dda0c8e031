// The log line of the erase wait and the log file it is appended to.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "flash/core/flash_log.h"
#include "flash/core/flash_progress.h"
#include "support/capture.h"
#include "support/flash_sim.h"

namespace kestrel::test {
namespace {

std::string read_text(const std::filesystem::path& path) {
    const ByteVector bytes = read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

TEST(FlashLog, LinePrintsTheTickCountInEightColumns) {
    const LogStamp stamp{"03/07/24", "09:05:01", 1234};
    EXPECT_EQ(format_log_line(stamp, "read status register0  1\n"),
              "[03/07/24 09:05:01 :     1234] read status register0  1\n\n");
    EXPECT_EQ(format_log_line({"03/07/24", "09:05:01", 0}, "x"),
              "[03/07/24 09:05:01 :         ] x\n");
    EXPECT_EQ(format_log_line({"03/07/24", "09:05:01", 123456789}, "x"),
              "[03/07/24 09:05:01 : 123456789] x\n");
    EXPECT_EQ(format_log_line({"03/07/24", "09:05:01", 0xFFFFFFFEu}, "x"),
              "[03/07/24 09:05:01 :       -2] x\n");
}

TEST(FlashLog, WriteLogAppendsCrLfLinesAndTracesThem) {
    TempDir dir;
    TraceCapture traces;
    write_file(dir / kLogFileName, ByteVector{'o', 'l', 'd', '\r', '\n'});
    write_log(dir.path(), "read status register0  %x\n", 3);
    write_log(dir.path(), "read status register0  %x\n", 0x83);

    const auto lines = traces.lines();
    ASSERT_EQ(lines.size(), 2u);
    const std::string stamp = R"(\[\d\d/\d\d/\d\d \d\d:\d\d:\d\d : [ 0-9-]{8}\] )";
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(stamp + "read status register0  3\n\n")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(stamp + "read status register0  83\n\n")))
        << lines[1];
    const auto crlf = [](const std::string& line) {
        return std::regex_replace(line, std::regex("\n"), "\r\n");
    };
    EXPECT_EQ(read_text(dir / kLogFileName), "old\r\n" + crlf(lines[0]) + crlf(lines[1]));
}

TEST(FlashLog, UnwritableLogStillTracesTheLineAndSaysWhy) {
    TempDir dir;
    TraceCapture traces;
    write_log(dir / "missing", "read status register0  %x\n", 1);
    const auto lines = traces.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("] read status register0  1\n\n"), std::string::npos);
    EXPECT_EQ(lines[1], "write_log: can't open " + (dir / "missing" / kLogFileName).string());
}

TEST(FlashLog, ALogThatIsAFifoIsRefusedWithoutWaitingForAReader) {
    TempDir dir;
    TraceCapture traces;
    ASSERT_EQ(::mkfifo((dir / kLogFileName).c_str(), 0600), 0);
    write_log(dir.path(), "read status register0  %x\n", 1);
    const auto lines = traces.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "write_log: can't open " + (dir / kLogFileName).string());
}

TEST(FlashProgressArithmetic, PositionsFollowTheShiftedAccumulator) {
    FlashProgress progress;
    std::vector<int> at(kFlashPages + 1);
    for (int page = 1; page <= kFlashPages; ++page)
        at[page] = progress.page_done();
    EXPECT_EQ(at[1], 0);
    EXPECT_EQ(at[163], 0);
    EXPECT_EQ(at[164], 1);
    EXPECT_EQ(at[328], 2);
    EXPECT_EQ(at[16383], 99);
    EXPECT_EQ(at[16384], 100);
    for (int page = 1; page <= kFlashPages; ++page) {
        ASSERT_EQ(at[page], page * 100 / kFlashPages) << page;
    }
}

}  // namespace
}  // namespace kestrel::test
