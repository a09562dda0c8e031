// The simulated SPI master's registers driving the chip: control-word phases, the open Read
// Data transaction, and page program words shifted straight to the chip.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "flash/core/spi_regs.h"
#include "sim/spi_master.h"
#include "support/flash_sim.h"

namespace kestrel::test {
namespace {

using ::testing::ElementsAre;

class SimSpiMaster : public ::testing::Test {
  protected:
    void ctrl(std::uint8_t flags, std::uint8_t counts) {
        spi_.write(SPI_CTRL, word_of({flags, counts}));
    }
    void cmd(std::initializer_list<std::uint8_t> bytes) { spi_.write(SPI_CMD, word_of(bytes)); }
    RegisterWord received() { return spi_.read(SPI_CTRL); }

    // The page program words as the tool sends them, optionally leaving out one SPI_PP_DATA word.
    void program_page(std::uint32_t address, const ByteVector& page, int skip_data_word = -1) {
        cmd({0x06});
        ctrl(0xE0, 0x10);
        spi_.write(SPI_PP_HEAD, word_of({0x02, static_cast<std::uint8_t>(address >> 16),
                                         static_cast<std::uint8_t>(address >> 8),
                                         static_cast<std::uint8_t>(address), page[0], page[1],
                                         page[2], page[3]}));
        for (int i = 0; i < 31; ++i) {
            if (i == skip_data_word) continue;
            RegisterWord w{};
            std::copy_n(page.begin() + 4 + 8 * i, 8, w.begin());
            spi_.write(SPI_PP_DATA, w);
        }
        spi_.write(SPI_PP_TAIL, word_of({page[252], page[253], page[254], page[255]}));
    }

    sim::NorFlash chip_;
    sim::SpiMaster spi_{chip_};
};

TEST_F(SimSpiMaster, ReceivePhaseKeepsItsBytesAndOtherPhasesLeaveZeros) {
    cmd({0x9F});
    ctrl(0xF0, 0x13);
    EXPECT_THAT(received(), ElementsAre(0xC2, 0x20, 0x16, 0, 0, 0, 0, 0));
    EXPECT_FALSE(chip_.selected());
    cmd({0x06});
    ctrl(0xE0, 0x10);
    EXPECT_THAT(received(), ElementsAre(0, 0, 0, 0, 0, 0, 0, 0));
    EXPECT_TRUE(chip_.write_enabled());
}

TEST_F(SimSpiMaster, ReadDataTransactionStaysOpenUntilTheEndFlag) {
    chip_.load(pattern_bytes(1024));
    const ByteVector expected = pattern_bytes(1024);
    cmd({0x03, 0x00, 0x01, 0x08});
    ctrl(0xB0, 0x48);
    EXPECT_TRUE(std::equal(expected.begin() + 0x108, expected.begin() + 0x110, received().begin()));
    ctrl(0x10, 0x08);
    EXPECT_TRUE(std::equal(expected.begin() + 0x110, expected.begin() + 0x118, received().begin()));
    EXPECT_TRUE(chip_.selected());
    ctrl(0x50, 0x08);
    EXPECT_TRUE(std::equal(expected.begin() + 0x118, expected.begin() + 0x120, received().begin()));
    EXPECT_FALSE(chip_.selected());
}

TEST_F(SimSpiMaster, StartFlagBeginsAFreshTransactionAndInitReleasesTheChip) {
    chip_.load(pattern_bytes(1024));
    const ByteVector expected = pattern_bytes(1024);
    cmd({0x03, 0x00, 0x00, 0x00});
    ctrl(0xB0, 0x48);  // left open
    cmd({0x03, 0x00, 0x02, 0x00});
    ctrl(0xB0, 0x48);
    EXPECT_TRUE(std::equal(expected.begin() + 0x200, expected.begin() + 0x208, received().begin()));
    spi_.write(SPI_INIT, word_of({0x01}));
    EXPECT_FALSE(chip_.selected());
    EXPECT_EQ(spi_.inits(), 1);
}

TEST_F(SimSpiMaster, PageProgramWordsShiftStraightToTheChip) {
    const ByteVector page = pattern_bytes(256, 7);
    program_page(0x000300, page);
    EXPECT_FALSE(chip_.selected());
    EXPECT_TRUE(std::equal(page.begin(), page.end(), chip_.contents().begin() + 0x300));
    EXPECT_EQ(chip_.page_programs(), 1);
}

TEST_F(SimSpiMaster, LostDataWordLeavesTheChipWithShiftedBytes) {
    ByteVector page(256);
    for (std::size_t i = 0; i < page.size(); ++i)
        page[i] = static_cast<std::uint8_t>(i);
    program_page(0x000400, page, /*skip_data_word=*/0);
    const auto got = chip_.contents().subspan(0x400, 256);
    EXPECT_THAT(std::vector<std::uint8_t>(got.begin(), got.begin() + 8),
                ElementsAre(0, 1, 2, 3, 12, 13, 14, 15));
    EXPECT_EQ(got[244], 252);  // the tail's bytes land 8 places early
    EXPECT_EQ(got[247], 255);
    EXPECT_EQ(got[248], 0xFF);
}

TEST_F(SimSpiMaster, AccessRegisterKeepsTheWordWritten) {
    spi_.write(SPI_ACCESS, word_of({0x81, 0x22}));
    EXPECT_THAT(spi_.read(SPI_ACCESS), ElementsAre(0x81, 0x22, 0, 0, 0, 0, 0, 0));
}

}  // namespace
}  // namespace kestrel::test
