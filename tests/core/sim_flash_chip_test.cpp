// The simulated NOR flash chip on its SPI bus: instructions, the write enable latch, what
// program and erase may do, busy times, deep power-down and the image file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "sim/nor_flash.h"
#include "support/flash_sim.h"

namespace kestrel::test {
namespace {

using sim::NorFlash;
using ::testing::ElementsAre;

// One transaction: select, shift the bytes out, release; returns the bytes shifted in.
std::vector<std::uint8_t> transact(NorFlash& chip, std::vector<std::uint8_t> out) {
    chip.select();
    std::vector<std::uint8_t> in;
    for (const auto b : out)
        in.push_back(chip.transfer(b));
    chip.deselect();
    return in;
}

std::vector<std::uint8_t> read_data(NorFlash& chip, std::uint32_t address, std::size_t n) {
    std::vector<std::uint8_t> out{0x03, static_cast<std::uint8_t>(address >> 16),
                                  static_cast<std::uint8_t>(address >> 8),
                                  static_cast<std::uint8_t>(address)};
    out.resize(4 + n, 0xFF);
    auto in = transact(chip, out);
    return {in.begin() + 4, in.end()};
}

void program(NorFlash& chip, std::uint32_t address, const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> out{0x02, static_cast<std::uint8_t>(address >> 16),
                                  static_cast<std::uint8_t>(address >> 8),
                                  static_cast<std::uint8_t>(address)};
    out.insert(out.end(), data.begin(), data.end());
    transact(chip, out);
}

std::uint8_t status(NorFlash& chip) {
    return transact(chip, {0x05, 0xFF})[1];
}

TEST(SimFlashChip, ReadIdentificationAnswersTheConfiguredId) {
    NorFlash chip;
    EXPECT_THAT(transact(chip, {0x9F, 0, 0, 0}), ElementsAre(0xFF, 0xC2, 0x20, 0x16));
    chip.set_jedec_id({0xEF, 0x40, 0x16});
    EXPECT_THAT(transact(chip, {0x9F, 0, 0, 0}), ElementsAre(0xFF, 0xEF, 0x40, 0x16));
}

TEST(SimFlashChip, DeepPowerDownAnswersOnlyRelease) {
    NorFlash chip(sim::NorFlashOptions{.start_in_deep_power_down = true});
    EXPECT_THAT(transact(chip, {0x9F, 0, 0, 0}), ElementsAre(0xFF, 0xFF, 0xFF, 0xFF));
    transact(chip, {0x06});
    EXPECT_FALSE(chip.write_enabled());
    EXPECT_THAT(transact(chip, {0xAB, 0, 0, 0, 0}), ElementsAre(0xFF, 0xFF, 0xFF, 0xFF, 0x15));
    EXPECT_FALSE(chip.deep_power_down());
    EXPECT_THAT(transact(chip, {0x9F, 0, 0, 0}), ElementsAre(0xFF, 0xC2, 0x20, 0x16));
    transact(chip, {0xB9});
    EXPECT_TRUE(chip.deep_power_down());
}

TEST(SimFlashChip, ProgramAndEraseNeedTheWriteEnableLatchAndClearIt) {
    NorFlash chip;
    chip.load(std::vector<std::uint8_t>(512, 0x5A));
    program(chip, 0, {0x00});
    transact(chip, {0xC7});
    EXPECT_EQ(read_data(chip, 0, 1)[0], 0x5A);
    EXPECT_EQ(chip.page_programs() + chip.chip_erases(), 0);

    transact(chip, {0x06});
    EXPECT_EQ(status(chip), 0x02);
    program(chip, 0, {0x00});
    EXPECT_EQ(read_data(chip, 0, 2), (std::vector<std::uint8_t>{0x00, 0x5A}));
    EXPECT_FALSE(chip.write_enabled());

    transact(chip, {0x06});
    transact(chip, {0x04});
    transact(chip, {0xC7});
    EXPECT_EQ(read_data(chip, 0, 1)[0], 0x00);

    transact(chip, {0x06});
    transact(chip, {0xC7, 0x00});  // not released right after the instruction: no erase
    EXPECT_EQ(chip.chip_erases(), 0);
    transact(chip, {0xC7});
    EXPECT_EQ(read_data(chip, 0, 2), (std::vector<std::uint8_t>{0xFF, 0xFF}));
    EXPECT_EQ(chip.chip_erases(), 1);
    EXPECT_FALSE(chip.write_enabled());
}

TEST(SimFlashChip, PageProgramOnlyClearsBitsAndWrapsInsideItsPage) {
    NorFlash chip;
    transact(chip, {0x06});
    program(chip, 0x100, {0x0F});
    transact(chip, {0x06});
    program(chip, 0x100, {0xF1});
    EXPECT_EQ(read_data(chip, 0x100, 1)[0], 0x01);

    std::vector<std::uint8_t> data(32);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i);
    transact(chip, {0x06});
    program(chip, 0x2F0, data);  // 16 bytes to 2F0h..2FFh, the other 16 wrap to 200h..20Fh
    const auto page = read_data(chip, 0x200, 256);
    EXPECT_EQ(page[0x00], 16);
    EXPECT_EQ(page[0x0F], 31);
    EXPECT_EQ(page[0x10], 0xFF);
    EXPECT_EQ(page[0xF0], 0);
    EXPECT_EQ(page[0xFF], 15);
    EXPECT_EQ(read_data(chip, 0x300, 1)[0], 0xFF);
}

TEST(SimFlashChip, ReadDataStreamsAcrossPagesAndWrapsAtTheTop) {
    NorFlash chip;
    std::vector<std::uint8_t> image(sim::kNorFlashSize);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 7);
    chip.load(image);
    const auto across = read_data(chip, 0xFE, 4);
    EXPECT_EQ(across,
              (std::vector<std::uint8_t>{image[0xFE], image[0xFF], image[0x100], image[0x101]}));
    const auto top = read_data(chip, 0x3FFFFE, 4);
    EXPECT_EQ(top,
              (std::vector<std::uint8_t>{image[0x3FFFFE], image[0x3FFFFF], image[0], image[1]}));
}

TEST(SimFlashChip, BusyForTheConfiguredStatusReadsAndDeafMeanwhile) {
    NorFlash chip(sim::NorFlashOptions{.erase_busy_polls = 3, .program_busy_polls = 1});
    transact(chip, {0x06});
    transact(chip, {0xC7});
    EXPECT_EQ(status(chip), 0x03);
    transact(chip, {0x06});  // ignored while busy
    EXPECT_EQ(read_data(chip, 0, 1)[0], 0xFF);
    EXPECT_EQ(status(chip), 0x03);
    EXPECT_EQ(status(chip), 0x03);
    EXPECT_EQ(status(chip), 0x00);

    transact(chip, {0x06});
    program(chip, 0, {0x12});
    EXPECT_EQ(status(chip), 0x03);
    EXPECT_EQ(status(chip), 0x00);
    EXPECT_EQ(read_data(chip, 0, 1)[0], 0x12);
    EXPECT_EQ(chip.status_reads(), 6);
}

TEST(SimFlashChip, HungChipStaysBusyUntilReleased) {
    NorFlash chip;
    chip.set_hang_busy(true);
    transact(chip, {0x06});
    transact(chip, {0xC7});
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(status(chip) & 0x01, 0x01);
    chip.set_hang_busy(false);
    EXPECT_EQ(status(chip), 0x03);
    EXPECT_EQ(status(chip), 0x00);
}

TEST(SimFlashChip, ImageFileRoundTripsWholeAndNeverHalfWritten) {
    TempDir dir;
    const auto path = (dir / "flash.img").string();
    const ByteVector image = pattern_bytes(sim::kNorFlashSize);
    ASSERT_TRUE(sim::save_flash_image(path, image));
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));

    std::vector<std::uint8_t> loaded;
    ASSERT_TRUE(sim::load_flash_image(path, loaded));
    EXPECT_EQ(loaded, image);

    EXPECT_FALSE(sim::save_flash_image((dir / "missing" / "flash.img").string(), image));
    EXPECT_FALSE(sim::load_flash_image((dir / "missing.img").string(), loaded));

    write_file(dir / "short.img", ByteVector{1, 2, 3});
    ASSERT_TRUE(sim::load_flash_image((dir / "short.img").string(), loaded));
    NorFlash chip;
    chip.load(loaded);
    EXPECT_EQ(read_data(chip, 0, 4), (std::vector<std::uint8_t>{1, 2, 3, 0xFF}));
}

}  // namespace
}  // namespace kestrel::test
