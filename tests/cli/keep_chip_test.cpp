// write --backup and --offset --keep-rest: what was on the chip is kept, in a file or in place.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "cli_fixture.h"

namespace kestrel::test {
namespace {

using ::testing::HasSubstr;

// Mostly blank, with data at the start, in the middle and in the last page, as a chip with a
// boot area, a settings area and a calibration page holds it.
ByteVector sparse_chip() {
    ByteVector chip(kFlashSize, 0xFF);
    const ByteVector a = pattern_bytes(4 * 256, 3);
    const ByteVector b = pattern_bytes(3 * 256 + 7, 5);
    const ByteVector c = pattern_bytes(256, 9);
    std::copy(a.begin(), a.end(), chip.begin());
    std::copy(b.begin(), b.end(), chip.begin() + 0x200000);
    std::copy(c.begin(), c.end(), chip.end() - 256);
    return chip;
}

class KeepChipTest : public CliFixture {};

TEST_F(KeepChipTest, BackupHoldsTheChipAsItWasThenTheWriteGoesOn) {
    const ByteVector before = sparse_chip();
    load_chip(before);
    const ByteVector image = pattern_bytes(6 * 256 + 10);
    const auto backup = dir_ / "before.bin";
    const CliRun r = run({"write", image_file(image), "--backup", backup.string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(read_file(backup), before);
    EXPECT_EQ(chip_bytes(), as_flashed(image));
    EXPECT_THAT(r.out, HasSubstr("; the chip as it was is in " + backup.string()));
}

TEST_F(KeepChipTest, BackupReadThatFailsErasesNothingAndLeavesNoFile) {
    const ByteVector before = sparse_chip();
    load_chip(before);
    // From the 300th page-data read on, every reply is refused: the backup's read fails.
    std::thread breaker;
    int reads = 0;
    set_hook([&](const sim::Exchange& ex) {
        if (ex.kind == sim::Exchange::Kind::Read && ex.address == 0x08 && ++reads == 300 * 32) {
            breaker = std::thread([this] {
                sim::LinkFaults f;
                f.nak = 1.0;
                server_->set_faults(f);
            });
        }
    });
    const auto backup = dir_ / "before.bin";
    const CliRun r = run({"write", image_file(pattern_bytes(2048)), "--backup", backup.string()});
    set_hook({});
    if (breaker.joinable()) breaker.join();
    server_->set_faults({});
    EXPECT_EQ(r.code, 6);
    EXPECT_THAT(r.err, HasSubstr("tries; nothing erased"));
    EXPECT_EQ(chip_erases(), 0);
    EXPECT_EQ(page_programs(), 0);
    EXPECT_FALSE(std::filesystem::exists(backup));
    EXPECT_EQ(chip_bytes(), before);
}

TEST_F(KeepChipTest, BackupThatCantBeSavedErasesNothing) {
    load_chip(sparse_chip());
    const auto folder = dir_ / "backups";
    std::filesystem::create_directory(folder);
    int reads = 0;
    set_hook([&](const sim::Exchange& ex) {
        // The folder goes away while the chip is read.
        if (ex.kind == sim::Exchange::Kind::Read && ex.address == 0x08 && ++reads == 100)
            std::filesystem::remove(folder);
    });
    const CliRun r =
        run({"write", image_file(pattern_bytes(2048)), "--backup", (folder / "b.bin").string()});
    set_hook({});
    EXPECT_EQ(r.code, 5);
    EXPECT_THAT(r.err, HasSubstr("; nothing erased\n"));
    EXPECT_EQ(chip_erases(), 0);
}

TEST_F(KeepChipTest, KeepRestLeavesEverythingOutsideTheRegionByteIdentical) {
    const ByteVector before = sparse_chip();
    load_chip(before);
    const ByteVector settings = pattern_bytes(1000, 77);
    const CliRun r =
        run({"--json", "write", image_file(settings), "--offset", "0x200123", "--keep-rest"});
    ASSERT_EQ(r.code, 0) << r.err;
    ByteVector expected = before;
    std::copy(settings.begin(), settings.end(), expected.begin() + 0x200123);
    EXPECT_EQ(chip_bytes(), expected);
    EXPECT_EQ(chip_erases(), 1);
    EXPECT_THAT(r.out, HasSubstr("\"offset\":2097443"));
}

TEST_F(KeepChipTest, OffsetWithoutKeepRestLeavesTheRestBlank) {
    load_chip(sparse_chip());
    const ByteVector image = pattern_bytes(300);
    const CliRun r = run({"write", image_file(image), "--offset", "4096"});
    ASSERT_EQ(r.code, 0) << r.err;
    ByteVector expected(kFlashSize, 0xFF);
    std::copy(image.begin(), image.end(), expected.begin() + 4096);
    EXPECT_EQ(chip_bytes(), expected);
    EXPECT_THAT(r.out,
                HasSubstr("wrote " + (dir_ / "image.bin").string() + " (300 bytes at 0x001000"));
}

TEST_F(KeepChipTest, KeepRestAndResumeExcludeEachOther) {
    const std::uint64_t before = requests();
    const CliRun r = run({"write", image_file(pattern_bytes(300)), "--keep-rest", "--resume"});
    EXPECT_EQ(r.code, 2);
    EXPECT_THAT(r.err,
                HasSubstr("kestrelctl write: --keep-rest and --resume exclude each other\n"));
    EXPECT_EQ(requests(), before);
}

}  // namespace
}  // namespace kestrel::test
