// The simulated NOR flash chip on its SPI bus: the write enable latch, what program and erase
// may do, busy times, deep power-down and the image file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/nor_flash.h"
#include "support/flash_sim.h"

namespace kestrel::test {
namespace {

using sim::NorFlash;
using ::testing::ElementsAre;
using Bytes = std::vector<std::uint8_t>;

// One transaction: select, shift the bytes out, release; returns the bytes shifted in.
Bytes transact(NorFlash& chip, const Bytes& out) {
    chip.select();
    Bytes in;
    for (const auto b : out)
        in.push_back(chip.transfer(b));
    chip.deselect();
    return in;
}

Bytes with_address(std::uint8_t cmd, std::uint32_t address, const Bytes& tail) {
    Bytes out(4 + tail.size());
    out[0] = cmd;
    out[1] = static_cast<std::uint8_t>(address >> 16);
    out[2] = static_cast<std::uint8_t>(address >> 8);
    out[3] = static_cast<std::uint8_t>(address);
    std::copy(tail.begin(), tail.end(), out.begin() + 4);
    return out;
}

Bytes read_data(NorFlash& chip, std::uint32_t address, std::size_t n) {
    const Bytes in = transact(chip, with_address(0x03, address, Bytes(n, 0xFF)));
    return {in.begin() + 4, in.end()};
}

void program(NorFlash& chip, std::uint32_t address, const Bytes& data) {
    transact(chip, with_address(0x02, address, data));
}

std::uint8_t status(NorFlash& chip) {
    return transact(chip, {0x05, 0xFF})[1];
}

TEST(SimFlashChip, AnswersItsIdOnlyAfterReleaseFromDeepPowerDown) {
    NorFlash chip(sim::NorFlashOptions{.start_in_deep_power_down = true});
    EXPECT_THAT(transact(chip, {0x9F, 0, 0, 0}), ElementsAre(0xFF, 0xFF, 0xFF, 0xFF));
    transact(chip, {0x06});
    EXPECT_FALSE(chip.write_enabled());
    EXPECT_THAT(transact(chip, {0xAB, 0, 0, 0, 0}), ElementsAre(0xFF, 0xFF, 0xFF, 0xFF, 0x15));
    EXPECT_THAT(transact(chip, {0x9F, 0, 0, 0}), ElementsAre(0xFF, 0xC2, 0x20, 0x16));
    chip.set_jedec_id({0xEF, 0x40, 0x16});
    EXPECT_THAT(transact(chip, {0x9F, 0, 0, 0}), ElementsAre(0xFF, 0xEF, 0x40, 0x16));
}

TEST(SimFlashChip, ProgramAndEraseNeedTheLatchAndProgramOnlyClearsBits) {
    NorFlash chip;
    chip.load(Bytes(512, 0x5A));
    program(chip, 0, {0x00});
    transact(chip, {0xC7});
    EXPECT_EQ(read_data(chip, 0, 1)[0], 0x5A);

    transact(chip, {0x06});
    EXPECT_EQ(status(chip), 0x02);
    program(chip, 0, {0x0F});
    EXPECT_EQ(read_data(chip, 0, 2), (Bytes{0x0A, 0x5A}));
    EXPECT_FALSE(chip.write_enabled());

    transact(chip, {0x06});
    transact(chip, {0xC7, 0x00});  // not released right after the instruction: ignored
    EXPECT_EQ(chip.chip_erases(), 0);
    transact(chip, {0xC7});
    EXPECT_EQ(read_data(chip, 0, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_FALSE(chip.write_enabled());
}

TEST(SimFlashChip, ProgramWrapsInsideItsPageAndReadDataWrapsAtTheTop) {
    NorFlash chip;
    Bytes data(32);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i);
    transact(chip, {0x06});
    program(chip, 0x2F0, data);
    const Bytes page = read_data(chip, 0x200, 257);  // streams on into the next page
    EXPECT_THAT(Bytes(page.begin(), page.begin() + 17),
                ::testing::ElementsAreArray(
                    {16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 0xFF}));
    EXPECT_EQ(page[0xF0], 0);
    EXPECT_EQ(page[0x100], 0xFF);

    Bytes image(sim::kNorFlashSize, 0x11);
    image.back() = 0x22;
    image.front() = 0x33;
    chip.load(image);
    EXPECT_EQ(read_data(chip, 0x3FFFFF, 2), (Bytes{0x22, 0x33}));
}

TEST(SimFlashChip, StaysBusyForItsStatusReadsAndHearsNothingElseMeanwhile) {
    NorFlash chip(sim::NorFlashOptions{.erase_busy_polls = 2, .program_busy_polls = 1});
    transact(chip, {0x06});
    transact(chip, {0xC7});
    EXPECT_EQ(status(chip), 0x03);
    transact(chip, {0x06});
    EXPECT_EQ(read_data(chip, 0, 1)[0], 0xFF);
    EXPECT_EQ(status(chip), 0x03);
    EXPECT_EQ(status(chip), 0x00);

    chip.set_hang_busy(true);
    transact(chip, {0x06});
    program(chip, 0, {0x12});
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(status(chip), 0x03);
    chip.set_hang_busy(false);
    EXPECT_EQ(status(chip), 0x03);
    EXPECT_EQ(status(chip), 0x00);
    EXPECT_EQ(read_data(chip, 0, 1)[0], 0x12);
}

TEST(SimFlashChip, SectorEraseNeedsTheLatchAndExactlyThreeAddressBytes) {
    NorFlash chip;
    chip.load(Bytes(2 * 4096, 0x00));
    transact(chip, with_address(0x20, 0x0FFF, {}));
    EXPECT_EQ(read_data(chip, 0x0FFF, 1)[0], 0x00) << "erased without Write Enable";

    transact(chip, {0x06});
    transact(chip, {0x20, 0x00, 0x10});                  // released after two address bytes
    transact(chip, with_address(0x20, 0x1000, {0x00}));  // a byte too many
    EXPECT_EQ(chip.sector_erases(), 0);
    EXPECT_TRUE(chip.write_enabled());

    transact(chip, with_address(0x20, 0x0FFF, {}));
    EXPECT_EQ(read_data(chip, 0x0000, 1)[0], 0xFF);
    EXPECT_EQ(read_data(chip, 0x0FFF, 2), (Bytes{0xFF, 0x00}));
    EXPECT_FALSE(chip.write_enabled());

    // The next erase needs its own Write Enable.
    transact(chip, with_address(0x20, 0x1000, {}));
    EXPECT_EQ(read_data(chip, 0x1000, 1)[0], 0x00);
    EXPECT_EQ(chip.sector_erases(), 1);
}

TEST(SimFlashChip, SectorEraseStaysBusyForItsPollsAndItsTime) {
    std::uint64_t now_us = 1000;
    NorFlash chip(
        sim::NorFlashOptions{.sector_erase_busy_polls = 1, .sector_erase_busy_us = 30000});
    chip.set_clock([&now_us] { return now_us; });
    transact(chip, {0x06});
    transact(chip, with_address(0x20, 0x3FF000, {}));
    EXPECT_EQ(status(chip), 0x03);
    EXPECT_EQ(status(chip), 0x03) << "its polls are counted but 30 ms have not passed";
    EXPECT_EQ(read_data(chip, 0x3FF000, 1)[0], 0xFF);  // ignored while busy: the idle level
    now_us += 29999;
    EXPECT_EQ(status(chip), 0x03);
    now_us += 1;
    EXPECT_EQ(status(chip), 0x00);

    // Timed only: once the time is up the chip answers without a status read first.
    chip.set_sector_erase_busy(0, 30000);
    chip.load(Bytes(4096, 0x00));
    transact(chip, {0x06});
    transact(chip, with_address(0x20, 0x000000, {}));
    transact(chip, {0x06});  // ignored: busy
    now_us += 30000;
    EXPECT_EQ(read_data(chip, 0x000000, 1)[0], 0xFF);
    EXPECT_FALSE(chip.write_enabled());
    transact(chip, {0x06});
    EXPECT_EQ(status(chip), 0x02);
}

TEST(SimFlashChip, ImageFileIsReplacedWholeOrNotAtAll) {
    TempDir dir;
    const auto path = (dir / "flash.img").string();
    const ByteVector image = pattern_bytes(sim::kNorFlashSize);
    ASSERT_TRUE(sim::save_flash_image(path, image));
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    Bytes loaded;
    ASSERT_TRUE(sim::load_flash_image(path, loaded));
    EXPECT_TRUE(loaded == image);
    EXPECT_FALSE(sim::save_flash_image((dir / "missing" / "flash.img").string(), image));
    EXPECT_FALSE(sim::load_flash_image((dir / "missing.img").string(), loaded));
}

}  // namespace
}  // namespace kestrel::test
