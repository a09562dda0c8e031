// The write procedure against the simulated device: the image read before anything is erased,
// short and long images, the erase wait with its log lines and counted sleeps, and page errors.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "flash/core/flash_log.h"
#include "flash/core/flash_procedures.h"
#include "flash/core/update_image.h"
#include "support/flash_sim.h"

namespace kestrel::test {
namespace {

using ::testing::ElementsAre;

constexpr int kPages = 8;
const char* const kWriteOver = "Write Over !!! please Read Flash for check!";

class FlashWrite : public FlashSimFixture {
  protected:
    void write(const std::filesystem::path& image, int pages = kPages) {
        write_flash_from_file(image.string(), dir_.path(), erase_wait_, reporter_, {pages});
    }
    std::filesystem::path image_path() const { return dir_ / "update.bin"; }
    int log_lines() {
        const ByteVector log = read_file(dir_ / kLogFileName);
        const std::string text(log.begin(), log.end());
        int n = 0;
        for (std::size_t at = 0;
             (at = text.find("] read status register0  3\r\n\r\n", at)) != std::string::npos;
             ++at) {
            ++n;
        }
        return n;
    }
    std::vector<std::uint32_t> erase_sleeps(int busy_polls) {
        std::vector<std::uint32_t> out{13000};
        for (int i = 1; i <= busy_polls; ++i) {
            out.push_back(1000);
            if (i < kEraseWaitLimit) out.push_back(3000);
        }
        return out;
    }
    std::vector<std::string> procedure_traces() {
        std::vector<std::string> out;
        for (const auto& line : traces_.lines()) {
            if (line.size() > 2 && line.front() == ' ') out.push_back(line);
        }
        return out;
    }

    int erase_wait_ = -1;
    const ByteVector old_ = ByteVector(kPages * kPageSize, 0x00);
};

TEST_F(FlashWrite, MissingUnreadableOrEmptyImageChangesNothingOnTheDevice) {
    load_chip(old_);
    write(dir_ / "missing.bin");
    std::filesystem::create_directory(dir_ / "folder");
    write(dir_ / "folder");
    write_file(image_path(), {});
    write(image_path());
    // A folder is not a regular file: refused before it is opened.
    EXPECT_THAT(reporter_.boxes(), ElementsAre("Can't open the file", "Can't open the file",
                                               "Read updata file error!"));
    EXPECT_THAT(reporter_.statuses(), ::testing::Each("Flash writing..."));
    EXPECT_TRUE(registers().empty());
    EXPECT_EQ(chip_bytes(old_.size()), old_);
}

TEST_F(FlashWrite, UnexpectedChipStopsBeforeTheErase) {
    load_chip(old_);
    write_file(image_path(), pattern_bytes(1000));
    with_chip([](sim::NorFlash& chip) { chip.set_jedec_id({0xFF, 0xFF, 0xFF}); });
    write(image_path());
    EXPECT_THAT(reporter_.boxes(), ElementsAre("Can't read FLASH chip ID!"));
    EXPECT_THAT(reporter_.statuses(), ElementsAre("Flash writing..."));
    EXPECT_EQ(registers().size(), 6u);
    EXPECT_EQ(traces_.count("No flash chip answers: ID FF FF FF"), 1);
    EXPECT_EQ(chip_bytes(old_.size()), old_);
}

TEST_F(FlashWrite, ShortImageProgramsItsPagesPaddedAndLeavesTheRestErased) {
    load_chip(old_);
    const ByteVector image = pattern_bytes(3 * kPageSize + 128);
    write_file(image_path(), image);
    write(image_path());

    ByteVector expected = image;
    expected.resize(kPages * kPageSize, 0xFF);
    EXPECT_EQ(chip_bytes(expected.size()), expected);
    EXPECT_EQ(with_chip([](sim::NorFlash& chip) { return chip.page_programs(); }), 4);
    EXPECT_EQ(reporter_.progress(), std::vector<int>(kPages, 0));
    EXPECT_THAT(reporter_.statuses(), ElementsAre("Flash writing...", "Flash write finished!"));
    EXPECT_THAT(reporter_.boxes(), ElementsAre(kWriteOver));
    EXPECT_THAT(procedure_traces(), ElementsAre(" start erase chip ", " erase chip done! ",
                                                " start program........ ", " program ok! "));
    EXPECT_EQ(erase_wait_, 0);
    EXPECT_THAT(sleeps_.sleeps(), ElementsAre(13000u));
    EXPECT_FALSE(std::filesystem::exists(dir_ / kLogFileName));

    // id, access bit, erase, one status poll, 4 x (write enable + page + one poll + the probes
    // before the tail and after "ready"), write disable. A reply that came unusually late (a
    // loaded machine) has its page read back or its status read again, so traffic may be added.
    const std::size_t plain = 6u + 2u + 4u + 3u + 4u * (2u + 38u + 2u) + 2u;
    EXPECT_GE(registers().size(), plain);
    EXPECT_EQ(writes_to(SPI_PP_HEAD).size(), 4u);
    EXPECT_EQ(writes_to(SPI_PP_TAIL).size(), 4u);
    const auto access = writes_to(SPI_ACCESS);
    ASSERT_EQ(access.size(), 1u);
    EXPECT_EQ(access[0].word[0] & 0x01, 0x01);
    const auto tail = spi_traffic();
    EXPECT_EQ(tail[tail.size() - 2].word, word_of({0x04}));
}

TEST_F(FlashWrite, LongImageProgramsOnlyItsFirstFourMiB) {
    const ByteVector image = pattern_bytes(kFlashSize + 3000);
    write_file(image_path(), image);
    std::vector<std::uint8_t> loaded;
    ASSERT_EQ(load_update_image(image_path().string(), loaded), ImageLoad::Ok);
    EXPECT_EQ(loaded.size(), kFlashSize);
    EXPECT_TRUE(std::equal(loaded.begin(), loaded.end(), image.begin()));

    write(image_path(), 4);
    EXPECT_EQ(chip_bytes(4 * kPageSize), ByteVector(image.begin(), image.begin() + 4 * kPageSize));
    EXPECT_THAT(reporter_.boxes(), ElementsAre(kWriteOver));
}

TEST_F(FlashWrite, EraseWaitCountsThreeBusyPollsWithLogLinesAndSleeps) {
    write_file(image_path(), pattern_bytes(kPageSize));
    with_chip([](sim::NorFlash& chip) { chip.set_erase_busy_polls(3); });
    write(image_path(), 1);
    EXPECT_EQ(erase_wait_, 3);
    EXPECT_EQ(log_lines(), 3);
    EXPECT_EQ(sleeps_.sleeps(), erase_sleeps(3));
    EXPECT_EQ(traces_.count(" erase chip done! "), 1);
    EXPECT_THAT(reporter_.boxes(), ElementsAre(kWriteOver));
}

TEST_F(FlashWrite, ChipBusyForEverGivesEraseErrorAfterTwentyPollsAndNothingIsProgrammed) {
    write_file(image_path(), pattern_bytes(kPageSize));
    with_chip([](sim::NorFlash& chip) { chip.set_hang_busy(true); });
    write(image_path(), 1);
    EXPECT_EQ(erase_wait_, 20);
    EXPECT_EQ(log_lines(), 20);
    EXPECT_EQ(sleeps_.sleeps(), erase_sleeps(20));
    EXPECT_EQ(traces_.count(" erase chip done! "), 0);
    EXPECT_EQ(traces_.count(" start program........ "), 0);
    EXPECT_THAT(reporter_.boxes(), ElementsAre("Flash erase error!"));
    EXPECT_EQ(reporter_.last_status(), "Flash write failed!");
    EXPECT_EQ(writes_to(SPI_PP_HEAD).size(), 0u);
    EXPECT_EQ(writes_to(SPI_CMD).back().word, word_of({0x04}));
}

TEST_F(FlashWrite, PageErrorAtPageZeroEndsWithoutProgressAndStillDisablesWrites) {
    write_file(image_path(), pattern_bytes(2 * kPageSize));
    with_chip([](sim::NorFlash& chip) { chip.set_program_busy_polls(300); });
    write(image_path(), 2);
    EXPECT_TRUE(reporter_.progress().empty());
    EXPECT_THAT(reporter_.boxes(), ElementsAre("Flash write one Page error!", kWriteOver));
    EXPECT_EQ(reporter_.last_status(), "Flash write failed!");
    EXPECT_EQ(traces_.count("write 16 bit---------------------------------------------register"),
              1);
    const auto cmds = writes_to(SPI_CMD);
    EXPECT_EQ(cmds.back().word, word_of({0x04}));
}

}  // namespace
}  // namespace kestrel::test
