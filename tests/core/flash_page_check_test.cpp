// The check of a programmed page: a load word the device took twice and a later one it never
// got cancel out at the end of the page, and at a round trip longer than the gap between the
// two copies every acknowledgement still fits the word it is taken for. A program that looked
// clean is therefore read back whole.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>

#include "flash/core/page_io.h"
#include "support/flash_sim.h"

namespace kestrel::test {
namespace {

using Page = std::array<std::uint8_t, 256>;

class PageCheck : public FlashSimFixture {
  protected:
    static Page counting_page() {
        Page p{};
        for (std::size_t i = 0; i < p.size(); ++i)
            p[i] = static_cast<std::uint8_t>(i);
        return p;
    }
    // The chip at page 1 (address 000100h) holding `bytes`, the rest erased.
    void chip_page_one(const Page& bytes) {
        ByteVector chip(2 * 256, 0xFF);
        std::copy(bytes.begin(), bytes.end(), chip.begin() + 256);
        load_chip(chip);
    }
    std::vector<sim::Exchange> read_commands() {
        std::vector<sim::Exchange> out;
        for (const auto& ex : writes_to(0x0010)) {
            if (ex.word[0] == 0x03) out.push_back(ex);
        }
        return out;
    }
};

TEST_F(PageCheck, CleanProgramIsReadBackWholeFromThePageStart) {
    const Page page = counting_page();
    EXPECT_EQ(program_page_checked(0x100, page), PageProgram::Done);
    EXPECT_TRUE(chip_bytes(512) == [&] {
        ByteVector want(512, 0xFF);
        std::copy(page.begin(), page.end(), want.begin() + 256);
        return want;
    }());
    // Read Data from 000100h, then the 32 receive phases of the page.
    const auto commands = read_commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_THAT(commands[0].word, ::testing::ElementsAre(0x03, 0x00, 0x01, 0x00, 0, 0, 0, 0));
    EXPECT_GE(reads_of(0x0008), 32);
}

// Words 3 to 19 came one place late (word 3 twice, word 20 never): the end of the page is
// right, its middle holds cleared bits no program can set again.
TEST_F(PageCheck, WrongMiddleBehindARightEndIsNeverDone) {
    const Page page = counting_page();
    Page chip = page;
    std::copy(page.begin() + 28, page.begin() + 164, chip.begin() + 36);
    for (std::size_t i = 0; i < chip.size(); ++i)
        chip[i] &= page[i];  // what programming the page over it leaves
    ASSERT_NE(chip, page);
    ASSERT_TRUE(std::equal(chip.begin() + 172, chip.end(), page.begin() + 172));
    chip_page_one(chip);
    EXPECT_EQ(program_page_checked(0x100, page), PageProgram::ReadBackDiffers);
}

TEST_F(PageCheck, CallerThatReadsEveryPageItselfGetsNoReadBack) {
    const Page page = counting_page();
    EXPECT_EQ(program_page_checked(0x100, page, ProgramCheck::None), PageProgram::Done);
    EXPECT_TRUE(read_commands().empty());
}

}  // namespace
}  // namespace kestrel::test
