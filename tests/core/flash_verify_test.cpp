// Verify: the update file against the start of "flash.bin", and every case where a byte could
// not be read refused rather than compared.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "flash/core/flash_procedures.h"
#include "support/capture.h"
#include "support/flash_sim.h"

namespace kestrel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class FlashVerify : public ::testing::Test {
  protected:
    std::string update() const { return (dir_ / "update.bin").string(); }
    void verify(const std::string& update_path) {
        verify_flash_file(update_path, dir_.path(), reporter_);
    }

    TempDir dir_;
    RecordingReporter reporter_;
    TraceCapture traces_;
    const ByteVector dump_ = pattern_bytes(4096);
};

TEST_F(FlashVerify, ComparesTheUpdateFileWithTheStartOfTheDump) {
    write_file(dir_ / kDumpFileName, dump_);
    write_file(update(), ByteVector(dump_.begin(), dump_.begin() + 1000));
    verify(update());
    ByteVector changed(dump_.begin(), dump_.begin() + 1000);
    changed.back() ^= 0x01;
    write_file(update(), changed);
    verify(update());
    EXPECT_THAT(reporter_.boxes(), ElementsAre("Verify OK !!!!", "Verify error!!!!"));
    EXPECT_TRUE(reporter_.statuses().empty());
    EXPECT_TRUE(reporter_.progress().empty());
    EXPECT_TRUE(traces_.lines().empty());
}

TEST_F(FlashVerify, DumpShorterThanTheUpdateFileIsRefusedNotCompared) {
    write_file(dir_ / kDumpFileName, ByteVector(dump_.begin(), dump_.begin() + 100));
    write_file(update(), dump_);  // its first 100 bytes match
    verify(update());
    EXPECT_THAT(reporter_.boxes(), ElementsAre("Verify error!!!!"));
    ASSERT_EQ(traces_.lines().size(), 1u);
    EXPECT_THAT(traces_.lines()[0], HasSubstr("holds 100 bytes, fewer than the 4096"));
}

TEST_F(FlashVerify, MissingEmptyOrUnreadableFilesAreErrorsWithTheReason) {
    // Each case gets a fresh folder; "dump" and "update" say what each file is there.
    enum class Dump { Good, Missing, Folder, Fifo };
    enum class Update { Good, Missing, Empty, Folder };
    struct Case {
        Dump dump;
        Update update;
        std::string why;
    };
    const std::vector<Case> cases{
        {Dump::Good, Update::Missing, "Verify: can't open the update file"},
        {Dump::Good, Update::Empty, "is empty"},
        {Dump::Good, Update::Folder, "is not a regular file"},
        {Dump::Missing, Update::Good, "Verify: can't open \""},
        {Dump::Folder, Update::Good, "Verify: can't open \""},  // only a regular file is opened
        {Dump::Fifo, Update::Good, "Verify: can't open \""},    // refused, never waited on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        TempDir dir;
        RecordingReporter reporter;
        traces_.clear();
        const auto update_path = dir / "update.bin";
        if (c.dump == Dump::Good) write_file(dir / kDumpFileName, dump_);
        if (c.dump == Dump::Folder) std::filesystem::create_directory(dir / kDumpFileName);
        if (c.dump == Dump::Fifo) {
            ASSERT_EQ(::mkfifo((dir / kDumpFileName).c_str(), 0600), 0);
        }
        if (c.update == Update::Good) write_file(update_path, ByteVector(10, 1));
        if (c.update == Update::Empty) write_file(update_path, {});
        if (c.update == Update::Folder) std::filesystem::create_directory(update_path);

        verify_flash_file(update_path.string(), dir.path(), reporter);
        EXPECT_THAT(reporter.boxes(), ElementsAre("Verify error!!!!"));
        ASSERT_EQ(traces_.lines().size(), 1u);
        EXPECT_THAT(traces_.lines()[0], HasSubstr(c.why));
    }
}

}  // namespace
}  // namespace kestrel::test
