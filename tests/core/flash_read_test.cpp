// The read procedure against the simulated device: the dump, its order and reports, and every
// way it can end without leaving a half dump under the name "flash.bin".
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <algorithm>

#include <csignal>

#include "flash/core/flash_procedures.h"
#include "sim/faults.h"
#include "support/flash_sim.h"

namespace kestrel::test {
namespace {

using ::testing::ElementsAre;
using Kind = RecordingReporter::Event::Kind;

constexpr int kPages = 8;

class FlashRead : public FlashSimFixture {
  protected:
    void read(int pages = kPages) { read_flash_to_file(dir_.path(), reporter_, {pages}); }
    std::filesystem::path dump() const { return dir_ / kDumpFileName; }
    // A temporary dump (".flash.bin.tmp-XXXXXX") still in the folder.
    bool temp_left() const {
        for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
            if (e.path().filename().string().starts_with(".flash.bin.tmp")) return true;
        }
        return false;
    }
};

TEST_F(FlashRead, DumpsThePagesInOrderWithProgressAfterEach) {
    load_chip(pattern_bytes(kFlashSize));
    read();

    EXPECT_EQ(read_file(dump()), chip_bytes(kPages * kPageSize));
    EXPECT_FALSE(temp_left());
    const auto events = reporter_.events();
    ASSERT_EQ(events.size(), 2u + kPages);
    EXPECT_EQ(events.front().text, "Flash reading...");
    EXPECT_EQ(events.back().text, "Flash read finished!");
    for (int k = 1; k <= kPages; ++k)
        EXPECT_EQ(events[k].kind, Kind::Progress);
    EXPECT_TRUE(reporter_.boxes().empty());

    std::vector<RegisterWord> read_commands;
    for (const auto& ex : writes_to(SPI_CMD)) {
        if (ex.word[0] == 0x03) read_commands.push_back(ex.word);
    }
    // A page whose reply came unusually late (a loaded machine) is read again, so a page may
    // appear twice in a row, but always in ascending order.
    read_commands.erase(std::unique(read_commands.begin(), read_commands.end()),
                        read_commands.end());
    ASSERT_EQ(read_commands.size(), static_cast<std::size_t>(kPages));
    EXPECT_EQ(read_commands[0], word_of({0x03, 0x00, 0x00, 0x00}));
    EXPECT_EQ(read_commands[7], word_of({0x03, 0x00, 0x07, 0x00}));
    // 65 exchanges and the probe of HOST_CTRL that confirms the page, per page
    if (writes_to(SPI_CMD).size() == static_cast<std::size_t>(kPages) + 2) {
        EXPECT_EQ(registers().size(), 6u + 66u * kPages);
    }

    const auto traces = traces_.lines();
    ASSERT_EQ(traces.size(), 5u);
    EXPECT_EQ(traces[3], " reading........ ");
    EXPECT_EQ(traces[4], "  finished!  ");
}

TEST_F(FlashRead, DumpIsTheOwnersToWriteAndAnyonesToReadLessTheUmask) {
    load_chip(pattern_bytes(kFlashSize));
    const mode_t saved = ::umask(002);
    read(1);
    ::umask(saved);
    struct stat st {};
    ASSERT_EQ(::stat(dump().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(FlashRead, UnexpectedChipStopsBeforeAnythingIsWrittenUnderTheDumpName) {
    write_file(dump(), ByteVector{'o', 'l', 'd'});
    with_chip([](sim::NorFlash& chip) { chip.set_jedec_id({0xC2, 0x20, 0x17}); });
    read();
    EXPECT_THAT(reporter_.boxes(), ElementsAre("Can't read flash chip ID!"));
    EXPECT_TRUE(reporter_.statuses().empty());
    // The last dump is kept, but under the name that no verify takes for this read's.
    EXPECT_FALSE(std::filesystem::exists(dump()));
    EXPECT_EQ(read_file(dir_ / "flash.bin.old"), (ByteVector{'o', 'l', 'd'}));
    EXPECT_FALSE(temp_left());
    EXPECT_EQ(registers().size(), 6u);
}

TEST_F(FlashRead, FolderThatCannotTakeTheDumpSaysOpenFileFailed) {
    read_flash_to_file(dir_ / "missing", reporter_, {kPages});
    EXPECT_THAT(reporter_.boxes(), ElementsAre("Open file failed!"));
    EXPECT_TRUE(registers().empty());
}

TEST_F(FlashRead, PageThatIsNeverAcknowledgedEndsTheReadAndKeepsTheOldDump) {
    write_file(dump(), ByteVector{'o', 'l', 'd'});
    sim::LinkFaults faults;
    faults.nak = 1.0;  // every reply refused: the bytes arrive but cannot be trusted
    server_->set_faults(faults);
    read();
    EXPECT_EQ(reporter_.last_status(), "Flash read failed!");
    EXPECT_THAT(reporter_.boxes(), ElementsAre("Flash read one Page error!"));
    EXPECT_TRUE(reporter_.progress().empty());
    EXPECT_FALSE(std::filesystem::exists(dump()));
    EXPECT_EQ(read_file(dir_ / "flash.bin.old"), (ByteVector{'o', 'l', 'd'}));
    EXPECT_FALSE(temp_left());
    EXPECT_EQ(traces_.count("read page 000000 failed: no clean read in 24 tries"), 1);
}

TEST_F(FlashRead, FullDiskEndsTheReadWithAMessageAndNoDump) {
    // A file size limit stands in for a full disk: writes past it fail with EFBIG.
    const auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous{};
    getrlimit(RLIMIT_FSIZE, &previous);
    rlimit small = previous;
    small.rlim_cur = 5000;
    setrlimit(RLIMIT_FSIZE, &small);
    read(64);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previous_handler);

    EXPECT_EQ(reporter_.last_status(), "Flash read failed!");
    EXPECT_THAT(reporter_.boxes(), ElementsAre("Write file failed!"));
    EXPECT_FALSE(std::filesystem::exists(dump()));
    EXPECT_FALSE(temp_left());
}

}  // namespace
}  // namespace kestrel::test
