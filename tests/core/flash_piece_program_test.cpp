// A link that keeps duplicating requests spoils whole-page loads (a data word taken twice shifts
// the rest of the page, and only an erase mends that). Pages are then programmed in pieces of
// 4 bytes, each one SPI_PP_HEAD, which no duplicate can spoil: a sector's third repair on, and
// every page once whole loads keep coming out spoiled.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>

#include "flash/core/image_write.h"
#include "flash/core/piece_program.h"
#include "flash/core/sector_repair.h"
#include "support/flash_sim.h"

namespace kestrel::test {
namespace {

constexpr std::uint16_t kHead = 0x0018;
constexpr std::uint16_t kData = 0x0020;
constexpr std::uint16_t kTail = 0x0028;
constexpr std::uint16_t kCmd = 0x0010;
constexpr std::uint16_t kCtrl = 0x0008;

// The simulated device with an erased chip. With spoil_whole_loads (or whole_spoils_left times)
// it clears the last byte of the page of a load that carried a data word, right after its
// tail, as a data word the device took twice leaves it; with spoil_pieces, that of every load
// of a head alone once the next phase ends it, as a device that does not program pieces of a
// page might.
class PieceProgram : public FlashSimFixture {
  protected:
    void SetUp() override {
        FlashSimFixture::SetUp();
        load_chip(ByteVector(kFlashSize, 0xFF));
        server_->clear_exchanges();
    }
    sim::ServerOptions options() override {
        sim::ServerOptions o;
        o.on_exchange = [this](const sim::Exchange& ex) {
            if (ex.kind != sim::Exchange::Kind::Write) return;
            if (ex.address == kHead) {
                head_page_ = ex.word[1] << 8 | ex.word[2];
                data_words_ = 0;
                piece_open_ = true;
            }
            if (ex.address == kData) {
                ++data_words_;
                piece_open_ = false;
            }
            bool spoil = false;
            if (ex.address == kTail) {
                piece_open_ = false;
                spoil = data_words_ > 0 && (spoil_whole_loads_ || whole_spoils_left_-- > 0);
            }
            if (ex.address == kCtrl && piece_open_) {
                piece_open_ = false;
                spoil = spoil_pieces_;
            }
            if (!spoil) return;
            sim::NorFlash& chip = device_.flash();  // the server lock is held here
            ByteVector bytes(chip.contents().begin(), chip.contents().end());
            bytes[static_cast<std::size_t>(head_page_) * kPageSize + 255] = 0x00;
            chip.load(bytes);
        };
        return o;
    }
    int sector_erases() {
        const auto cmds = writes_to(kCmd);
        return static_cast<int>(std::count_if(
            cmds.begin(), cmds.end(), [](const sim::Exchange& ex) { return ex.word[0] == 0x20; }));
    }
    // Data words written after the n-th sector erase (n = 0: after none).
    int data_words_after_sector_erase(int n) {
        int erases = 0, words = 0;
        for (const auto& ex : registers()) {
            if (ex.kind != sim::Exchange::Kind::Write) continue;
            if (ex.address == kCmd && ex.word[0] == 0x20) ++erases;
            if (ex.address == kData && erases >= n) ++words;
        }
        return words;
    }

    bool traced(const std::string& text) {
        const auto lines = traces_.lines();
        return std::find(lines.begin(), lines.end(), text) != lines.end();
    }

    int head_page_ = -1;
    int data_words_ = 0;
    bool piece_open_ = false;
    std::atomic<bool> spoil_whole_loads_{false};
    std::atomic<bool> spoil_pieces_{false};
    std::atomic<int> whole_spoils_left_{0};
};

// Pages of varied bytes whose last byte, 9Ch, a cleared byte can't be programmed back to.
ByteVector spoilable_image(int pages) {
    ByteVector image = pattern_bytes(static_cast<std::size_t>(pages) * kPageSize);
    for (int k = 0; k < pages; ++k)
        image[static_cast<std::size_t>(k) * kPageSize + 255] = 0x9C;
    return image;
}

// A write with no verify to come: each program is read back as it goes.
ImageWriteOptions checked_as_they_go() {
    ImageWriteOptions options;
    options.verify = VerifyScope::None;
    return options;
}

std::array<std::uint8_t, kPageSize> index_page() {
    std::array<std::uint8_t, kPageSize> page{};
    for (std::size_t i = 0; i < kPageSize; ++i)
        page[i] = static_cast<std::uint8_t>(i);
    return page;
}

TEST_F(PieceProgram, EachPieceIsOneHeadAndPiecesAlreadyRightAreNotSent) {
    auto want = index_page();
    std::fill_n(want.begin() + 8, 8, 0xFF);  // pieces 2 and 3 stay erased
    std::array<std::uint8_t, kPageSize> erased{};
    erased.fill(0xFF);

    EXPECT_EQ(program_page_in_pieces(0x000100, want, erased), PageProgram::Done);

    const ByteVector chip = chip_bytes(3 * kPageSize);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), chip.begin() + kPageSize));
    EXPECT_TRUE(std::all_of(chip.begin() + 2 * kPageSize, chip.end(),
                            [](std::uint8_t b) { return b == 0xFF; }));
    const auto heads = writes_to(kHead);
    ASSERT_EQ(heads.size(), 62u);
    EXPECT_TRUE(writes_to(kData).empty());
    EXPECT_TRUE(writes_to(kTail).empty());
    EXPECT_EQ(heads[0].word, (RegisterWord{0x02, 0x00, 0x01, 0x00, 0x00, 0x01, 0x02, 0x03}));
    EXPECT_EQ(heads[1].word, (RegisterWord{0x02, 0x00, 0x01, 0x04, 0x04, 0x05, 0x06, 0x07}));
    EXPECT_EQ(heads[2].word, (RegisterWord{0x02, 0x00, 0x01, 0x10, 0x10, 0x11, 0x12, 0x13}));
    EXPECT_EQ(heads[61].word, (RegisterWord{0x02, 0x00, 0x01, 0xFC, 0xFC, 0xFD, 0xFE, 0xFF}));
}

TEST_F(PieceProgram, PiecesSendOnlyWhereThePageDiffersAndBitsNoProgramSetsFailIt) {
    const auto want = index_page();
    ByteVector chip(kFlashSize, 0xFF);
    std::copy(want.begin(), want.end(), chip.begin());
    std::fill_n(chip.begin() + 40, 8, 0xFF);  // pieces 10 and 11 never programmed
    load_chip(chip);
    std::array<std::uint8_t, kPageSize> now{};
    std::copy_n(chip.begin(), kPageSize, now.begin());

    EXPECT_EQ(program_page_in_pieces(0, want, now), PageProgram::Done);
    ASSERT_EQ(writes_to(kHead).size(), 2u);
    EXPECT_EQ(writes_to(kHead)[0].word,
              (RegisterWord{0x02, 0x00, 0x00, 0x28, 0x28, 0x29, 0x2A, 0x2B}));
    EXPECT_EQ(writes_to(kHead)[1].word,
              (RegisterWord{0x02, 0x00, 0x00, 0x2C, 0x2C, 0x2D, 0x2E, 0x2F}));
    EXPECT_EQ(chip_bytes(kPageSize), ByteVector(want.begin(), want.end()));

    // A byte cleared where the page wants a bit set: no piece mends it.
    chip[kPageSize + 3] = 0x00;
    load_chip(chip);
    auto second = want;
    second[3] = 0x9C;
    std::array<std::uint8_t, kPageSize> taken{};
    std::copy_n(chip.begin() + kPageSize, kPageSize, taken.begin());
    EXPECT_EQ(program_page_in_pieces(0x000100, second, taken), PageProgram::ReadBackDiffers);
}

// Page loads that all come out spoiled, checked as they go (no verify to come): each spoiled
// page costs a sector repair, the first sector's third repair and those after it go in pieces,
// and after the tenth spoiled load every page does.
TEST_F(PieceProgram, WriteTurnsToPiecesOnceWholeLoadsKeepComingOutSpoiled) {
    spoil_whole_loads_ = true;
    const ByteVector image = spoilable_image(14);

    const ImageWriteResult r = write_image(image, checked_as_they_go(), FlashJobHooks{});

    EXPECT_EQ(r.outcome, ImageWrite::Ok);
    EXPECT_EQ(chip_bytes(image.size()), image);
    // Page 0: two whole repairs spoiled again, the third in pieces; pages 1 to 9: one each.
    EXPECT_EQ(r.sectors_repaired, 12);
    EXPECT_EQ(sector_erases(), 12);
    // Whole loads after the third erase: only pages 1 to 9's own, 31 words each.
    EXPECT_EQ(data_words_after_sector_erase(3), 9 * 31);
    EXPECT_TRUE(traced(" page loads keep coming out spoiled: programming in pieces "));
}

// With a verify to come the spoiled pages show there: the mend erases the sector twice with
// whole loads, spoiled again, and the third time loads its pages in pieces.
TEST_F(PieceProgram, VerifyMendsASectorWhoseWholeLoadsKeepSpoilingInPieces) {
    spoil_whole_loads_ = true;
    const ByteVector image = spoilable_image(4);

    const ImageWriteResult r = write_image(image, ImageWriteOptions{}, FlashJobHooks{});

    EXPECT_EQ(r.outcome, ImageWrite::Ok);
    EXPECT_EQ(r.device_state, "holds the image");
    EXPECT_EQ(chip_bytes(image.size()), image);
    EXPECT_EQ(r.sectors_repaired, 3);
    EXPECT_EQ(data_words_after_sector_erase(3), 0);
}

// A device on which pieces come out wrong: after two such repairs the write goes back to whole
// loads, which mend the sector once they stop spoiling.
TEST_F(PieceProgram, WriteGoesBackToWholeLoadsWhenPiecesComeOutWrong) {
    whole_spoils_left_ = 3;
    spoil_pieces_ = true;
    const ByteVector image = spoilable_image(4);

    const ImageWriteResult r = write_image(image, checked_as_they_go(), FlashJobHooks{});

    EXPECT_EQ(r.outcome, ImageWrite::Ok);
    EXPECT_EQ(chip_bytes(image.size()), image);
    // Two whole repairs spoiled, two in pieces spoiled, the fifth whole and clean.
    EXPECT_EQ(r.sectors_repaired, 5);
}

}  // namespace
}  // namespace kestrel::test
