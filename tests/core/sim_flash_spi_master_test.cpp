// The simulated SPI master: phases of a control word, a transaction restarted by the start
// flag, and page program words shifted straight to the chip.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "protocol/spi_regs.h"
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
    sim::NorFlash chip_;
    sim::SpiMaster spi_{chip_};
};

TEST_F(SimSpiMaster, StartFlagOpensAFreshTransactionAndOnlyReceivePhasesLeaveBytes) {
    const ByteVector image = pattern_bytes(1024);
    chip_.load(image);
    spi_.write(SPI_CMD, word_of({0x03, 0x00, 0x00, 0x00}));
    ctrl(0xB0, 0x48);  // left open
    spi_.write(SPI_CMD, word_of({0x03, 0x00, 0x02, 0x00}));
    ctrl(0xB0, 0x48);
    ctrl(0x10, 0x08);
    EXPECT_TRUE(
        std::equal(image.begin() + 0x208, image.begin() + 0x210, spi_.read(SPI_CTRL).begin()));
    EXPECT_TRUE(chip_.selected());
    spi_.write(SPI_CMD, word_of({0x06}));
    ctrl(0xE0, 0x10);
    EXPECT_THAT(spi_.read(SPI_CTRL), ElementsAre(0, 0, 0, 0, 0, 0, 0, 0));
    EXPECT_TRUE(chip_.write_enabled());
    EXPECT_FALSE(chip_.selected());
}

TEST_F(SimSpiMaster, LostDataWordLeavesTheChipWithShiftedBytes) {
    ByteVector page(256);
    for (std::size_t i = 0; i < page.size(); ++i)
        page[i] = static_cast<std::uint8_t>(i);
    spi_.write(SPI_CMD, word_of({0x06}));
    ctrl(0xE0, 0x10);
    spi_.write(SPI_PP_HEAD, word_of({0x02, 0x00, 0x04, 0x00, 0, 1, 2, 3}));
    for (int i = 1; i < 31; ++i) {  // the word of bytes 4..11 is lost
        RegisterWord w{};
        std::copy_n(page.begin() + 4 + 8 * i, 8, w.begin());
        spi_.write(SPI_PP_DATA, w);
    }
    spi_.write(SPI_PP_TAIL, word_of({252, 253, 254, 255}));

    const auto got = chip_.contents().subspan(0x400, 256);
    EXPECT_THAT(ByteVector(got.begin(), got.begin() + 6), ElementsAre(0, 1, 2, 3, 12, 13));
    EXPECT_EQ(got[244], 252);
    EXPECT_EQ(got[247], 255);
    EXPECT_EQ(got[248], 0xFF);
    EXPECT_FALSE(chip_.selected());
}

// Sector Erase through the registers: SPI_CMD 20 A2 A1 A0, then one phase E0h 40h.
TEST_F(SimSpiMaster, SectorEraseClearsOnlyTheFourKibSectorHoldingTheAddress) {
    chip_.load(ByteVector(3 * 4096, 0x00));
    chip_.set_sector_erase_busy(2, 0);
    spi_.write(SPI_CMD, word_of({0x20, 0x00, 0x1A, 0xBC}));  // without Write Enable: ignored
    ctrl(0xE0, 0x40);
    EXPECT_EQ(chip_.sector_erases(), 0);
    EXPECT_EQ(chip_.contents()[0x1ABC], 0x00);

    spi_.write(SPI_CMD, word_of({0x06}));
    ctrl(0xE0, 0x10);
    spi_.write(SPI_CMD, word_of({0x20, 0x00, 0x1A, 0xBC}));
    ctrl(0xE0, 0x40);
    const auto flash = chip_.contents();
    EXPECT_EQ(flash[0x0FFF], 0x00);
    EXPECT_EQ(flash[0x1000], 0xFF);
    EXPECT_EQ(flash[0x1ABC], 0xFF);
    EXPECT_EQ(flash[0x1FFF], 0xFF);
    EXPECT_EQ(flash[0x2000], 0x00);
    EXPECT_EQ(chip_.sector_erases(), 1);

    spi_.write(SPI_CMD, word_of({0x05}));
    const auto poll = [&] {
        ctrl(0xF0, 0x11);
        return spi_.read(SPI_CTRL)[0];
    };
    EXPECT_EQ(poll(), 0x03);
    EXPECT_EQ(poll(), 0x03);
    EXPECT_EQ(poll(), 0x00);  // ready, and the write enable latch cleared
}

}  // namespace
}  // namespace kestrel::test
