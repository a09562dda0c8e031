// The check of a programmed page's end: a page load that lost a data word leaves every later
// byte one word early and the end of the page erased, and a copy of an earlier acknowledgement
// can hide that loss from the link, so a program that looked clean is still read at its end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>

#include "flash/core/page_io.h"
#include "support/flash_sim.h"

namespace kestrel::test {
namespace {

using Page = std::array<std::uint8_t, 256>;

class PageTail : public FlashSimFixture {
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

TEST_F(PageTail, RightPageHoldsAfterReadingItsLastTwoChunksInOneTransaction) {
    const Page page = counting_page();
    chip_page_one(page);
    EXPECT_EQ(check_page_tail(0x100, page), TailCheck::Holds);

    // A loaded machine may make the link doubt a phase and read again: the first try counts.
    const auto commands = read_commands();
    ASSERT_FALSE(commands.empty());
    // Read Data from 0001F0h: chunk 30, opened with B0 48, the last chunk closed with 50 08.
    EXPECT_THAT(commands[0].word, ::testing::ElementsAre(0x03, 0x00, 0x01, 0xF0, 0, 0, 0, 0));
    const auto ctrl = writes_to(0x0008);
    ASSERT_GE(ctrl.size(), 2u);
    EXPECT_EQ(ctrl[0].word[0], 0xB0);
    EXPECT_EQ(ctrl[0].word[1], 0x48);
    EXPECT_EQ(ctrl[1].word[0], 0x50);
    EXPECT_EQ(ctrl[1].word[1], 0x08);
}

TEST_F(PageTail, LoadThatLostAWordDiffersAtItsEnd) {
    const Page page = counting_page();
    // Word 20 (bytes 164 to 171) never reached the chip: the rest came one word early, the
    // tail at 244 to 247, and 248 to 255 stayed erased.
    Page chip = page;
    std::copy(page.begin() + 172, page.end(), chip.begin() + 164);
    std::fill(chip.begin() + 248, chip.end(), 0xFF);
    chip_page_one(chip);
    EXPECT_EQ(check_page_tail(0x100, page), TailCheck::Differs);
}

TEST_F(PageTail, EndOfTheDataIsWhereTheCheckLooks) {
    // Data only in the first 6 bytes: chunks 0 to 31 are read, from 000100h.
    Page page{};
    page.fill(0xFF);
    for (std::size_t i = 0; i < 6; ++i)
        page[i] = static_cast<std::uint8_t>(0x40 + i);
    Page chip = page;
    chip[5] = 0xFF;  // the write enable or the load never came: the byte stays erased
    chip_page_one(chip);
    EXPECT_EQ(check_page_tail(0x100, page), TailCheck::Differs);
    const auto commands = read_commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_THAT(commands[0].word, ::testing::ElementsAre(0x03, 0x00, 0x01, 0x00, 0, 0, 0, 0));

    // Data ending at byte 100 (chunk 12): the read opens at chunk 11, 000158h.
    page.fill(0xFF);
    page[100] = 0x00;
    chip_page_one(page);
    const std::size_t before = read_commands().size();
    EXPECT_EQ(check_page_tail(0x100, page), TailCheck::Holds);
    const auto again = read_commands();
    ASSERT_GT(again.size(), before);
    EXPECT_THAT(again[before].word, ::testing::ElementsAre(0x03, 0x00, 0x01, 0x58, 0, 0, 0, 0));
}

TEST_F(PageTail, BlankPageHoldsWithoutAnExchange) {
    Page page{};
    page.fill(0xFF);
    EXPECT_EQ(check_page_tail(0x100, page), TailCheck::Holds);
    EXPECT_TRUE(registers().empty());
}

// On a link that still owes a reply, a copy could stand in for a load word's acknowledgement:
// a program that looks clean is checked at its end. The chip already holds cleared bits at the
// end of the page, as a shifted load leaves it.
TEST_F(PageTail, CleanLookingProgramOverAWrongEndIsNeverDoneWhereCopiesCanCome) {
    const Page page = counting_page();
    Page chip{};
    chip.fill(0xFF);
    std::fill(chip.begin() + 248, chip.end(), 0x00);
    chip_page_one(chip);
    server_->set_faults({.seed = 3, .lose_reply = 1.0});
    EXPECT_EQ(write_exchange(SPI_INIT, RegisterWord{}).status, ExchangeStatus::NoReply);
    server_->set_faults(sim::LinkFaults{});
    ASSERT_TRUE(link_may_make_copies());
    EXPECT_EQ(program_page_checked(0x100, page), PageProgram::ReadBackDiffers);
}

}  // namespace
}  // namespace kestrel::test
