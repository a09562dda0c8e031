// A page whose load lost or doubled a word where the link could not see it holds bits that no
// program can set again. The writes then erase just its 4 KiB sector (20h with the address,
// control word E0 40) and program the sector's pages again, a bounded number of times, and say
// "finished" only over a chip that holds the image. And a load whose acknowledgement only comes
// slowly is no fault: it costs no extra exchange.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "flash/core/flash_procedures.h"
#include "flash/core/image_write.h"
#include "flash/core/sector_repair.h"
#include "flash/core/spi_flash.h"
#include "support/flash_sim.h"
#include "support/raw_peer.h"

namespace kestrel::test {
namespace {

using namespace std::chrono_literals;

constexpr int kPages = 6;
constexpr int kSpoiledPage = 2;

// The simulated device, with a hook that clears the last byte of page 2 at a SPI_PP_HEAD for
// it, as a load that lost a word leaves it: the first time only, or every time (whole loads
// and pieces alike).
class SectorRepair : public FlashSimFixture {
  protected:
    sim::ServerOptions options() override {
        sim::ServerOptions o;
        o.log_exchanges = true;
        o.on_exchange = [this](const sim::Exchange& ex) {
            if (ex.kind != sim::Exchange::Kind::Write) return;
            if (ex.address != 0x0018 || (ex.word[1] << 8 | ex.word[2]) != kSpoiledPage) return;
            if (spoil_times_ <= 0) return;
            --spoil_times_;
            sim::NorFlash& chip = device_.flash();  // the server lock is held here
            ByteVector bytes(chip.contents().begin(), chip.contents().end());
            bytes[kSpoiledPage * kPageSize + 255] = 0x00;
            chip.load(bytes);
        };
        return o;
    }
    int erases(std::uint8_t instruction) {
        int n = 0;
        for (const auto& ex : writes_to(0x0010))
            n += ex.word[0] == instruction ? 1 : 0;
        return n;
    }
    int chip_erases() { return erases(0xC7); }
    int sector_erases() { return erases(0x20); }
    bool traced(const std::string& text) {
        for (const auto& line : traces_.lines())
            if (line == text) return true;
        return false;
    }
    std::filesystem::path image_file(const ByteVector& image) {
        const auto path = dir_ / "update.bin";
        write_file(path, image);
        return path;
    }

    // Page 2's last byte is 0x9C in the image: a cleared byte can't be programmed back.
    const ByteVector image_ = [] {
        ByteVector b = pattern_bytes(kPages * kPageSize);
        b[kSpoiledPage * kPageSize + 255] = 0x9C;
        return b;
    }();
    std::atomic<int> spoil_times_{1};
    int erase_wait_ = -1;
};

TEST_F(SectorRepair, DialogWriteErasesTheSectorAndFinishesOverTheRightChip) {
    write_flash_from_file(image_file(image_).string(), dir_.path(), erase_wait_, reporter_,
                          {kPages});
    EXPECT_EQ(chip_bytes(kPages * kPageSize), image_);
    EXPECT_EQ(chip_erases(), 1);
    EXPECT_EQ(sector_erases(), 1);
    // The sector erase names sector 000000 in one phase: start, send 4 bytes, end.
    bool sector_phase = false;
    const auto cmds = writes_to(0x0010);
    const auto ctrls = writes_to(0x0008);
    for (const auto& ex : cmds) {
        if (ex.word[0] == 0x20) {
            EXPECT_EQ(ex.word, (RegisterWord{0x20, 0x00, 0x00, 0x00}));
        }
    }
    for (const auto& ex : ctrls)
        sector_phase = sector_phase || (ex.word[0] == 0xE0 && ex.word[1] == 0x40);
    EXPECT_TRUE(sector_phase);
    EXPECT_TRUE(traced(" page 2 can't be mended by a program: erasing sector 000000 "));
    EXPECT_EQ(reporter_.statuses().back(), "Flash write finished!");
}

TEST_F(SectorRepair, DialogWriteFailsWhenEveryRepairSpoilsThePageAgain) {
    spoil_times_ = 1000;
    write_flash_from_file(image_file(image_).string(), dir_.path(), erase_wait_, reporter_,
                          {kPages});
    EXPECT_EQ(chip_erases(), 1);
    EXPECT_EQ(sector_erases(), kSectorRepairs);
    EXPECT_EQ(reporter_.statuses().back(), "Flash write failed!");
    EXPECT_THAT(reporter_.boxes(), ::testing::Contains("Flash write one Page error!"));
    // Nothing after the spoiled page was programmed.
    const ByteVector chip = chip_bytes(kPages * kPageSize);
    EXPECT_TRUE(std::all_of(chip.begin() + (kSpoiledPage + 1) * kPageSize, chip.end(),
                            [](std::uint8_t b) { return b == 0xFF; }));
}

TEST_F(SectorRepair, ImageWriteMendsTheSectorAndVerifiesItsPagesAgain) {
    const ImageWriteResult r = write_image(image_, ImageWriteOptions{}, FlashJobHooks{});
    EXPECT_EQ(r.outcome, ImageWrite::Ok);
    EXPECT_EQ(r.passes, 1);
    EXPECT_EQ(r.sectors_repaired, 1);
    EXPECT_EQ(r.pages_verified, kPages);
    EXPECT_EQ(r.device_state, "holds the image");
    EXPECT_EQ(chip_bytes(kPages * kPageSize), image_);
    EXPECT_EQ(chip_erases(), 1);
    EXPECT_EQ(sector_erases(), 1);
}

// With a verify to come, the repair programs the sector's pages without reading them back:
// the verify reads each once after the sector erase, the blank page 4 too (it shows the erase
// happened).
TEST_F(SectorRepair, ImageWriteLeavesTheRepairedSectorsReadBackToItsVerify) {
    ByteVector image = image_;
    std::fill_n(image.begin() + 4 * kPageSize, kPageSize, std::uint8_t{0xFF});
    const ImageWriteResult r = write_image(image, ImageWriteOptions{}, FlashJobHooks{});
    ASSERT_EQ(r.outcome, ImageWrite::Ok);
    EXPECT_EQ(r.sectors_repaired, 1);
    EXPECT_EQ(chip_bytes(kPages * kPageSize), image);
    std::array<int, kPages> reads{};
    bool erased = false;
    for (const auto& ex : spi_traffic()) {
        if (ex.kind != sim::Exchange::Kind::Write || ex.address != SPI_CMD) continue;
        erased = erased || ex.word[0] == 0x20;
        if (erased && ex.word[0] == 0x03 && ex.word[1] == 0 && ex.word[3] == 0 &&
            ex.word[2] < kPages)
            ++reads[ex.word[2]];
    }
    EXPECT_TRUE(erased);
    EXPECT_THAT(reads, ::testing::Each(1));
}

// Without a verify, a page found spoiled in the program stage erases its sector, pages after
// it included: those are programmed again even where a resumed write had found them right.
TEST_F(SectorRepair, ResumedWriteProgramsAgainThePagesItsRepairErased) {
    ByteVector chip(kPages * kPageSize, 0xFF);
    std::copy_n(image_.begin() + 3 * kPageSize, 3 * kPageSize, chip.begin() + 3 * kPageSize);
    load_chip(chip);
    ImageWriteOptions options;
    options.resume = true;
    options.verify = VerifyScope::None;
    options.chip_pages = kPages;
    const ImageWriteResult r = write_image(image_, options, FlashJobHooks{});
    EXPECT_EQ(r.outcome, ImageWrite::Ok);
    EXPECT_TRUE(r.resumed);
    EXPECT_EQ(r.sectors_repaired, 1);
    EXPECT_EQ(chip_bytes(kPages * kPageSize), image_);
}

TEST_F(SectorRepair, ImageWriteReportsThePageAfterItsLastRepair) {
    spoil_times_ = 1000;
    const ImageWriteResult r = write_image(image_, ImageWriteOptions{}, FlashJobHooks{});
    EXPECT_EQ(r.outcome, ImageWrite::VerifyDiffers);
    EXPECT_EQ(r.sectors_repaired, kSectorRepairs);
    EXPECT_EQ(r.bad_page, kSpoiledPage);
    EXPECT_EQ(r.bad_address, kSpoiledPage * 256 + 255);
    EXPECT_EQ(chip_erases(), 1);
}

// A scripted device that acknowledges every write at once, except the eleventh SPI_PP_DATA of
// the load, which it acknowledges 1 ms late; the link has shown a duplicate before.
class SlowAcknowledgement : public ::testing::Test {
  protected:
    void TearDown() override { close_link(); }
    static int writes_to(RawPeer& peer, std::uint8_t low) {
        int n = 0;
        for (const auto& r : peer.received())
            n += r.bytes.size() == 18 && r.bytes[0] == 0x00 && r.bytes[2] == 0x00 &&
                 r.bytes[3] == low;
        return n;
    }
    std::array<std::uint8_t, 256> page_{};
};

TEST_F(SlowAcknowledgement, LoadTakesItAndGoesOnToItsTailWithNoExtraExchange) {
    std::atomic<int> data_words{0};
    RawPeer peer([&data_words](const Bytes& req, int index) {
        RawPeer::Answer a = answer(ack_for(req));
        if (index == 1) a.then_extra = ack_for(req);  // a duplicate the link sees
        if (req[0] == 0x00 && req[2] == 0x00 && req[3] == 0x20 && ++data_words == 11) a.delay = 1ms;
        return a;
    });
    ASSERT_TRUE(open_link("127.0.0.1", peer.port()));
    RegisterWord w{};
    for (int i = 0; i < 12; ++i)
        (void)read_reg(0x4000, w);
    const std::size_t before = peer.received().size();
    LinkTally tally;
    EXPECT_EQ(spi_program_page({0, 1, 0}, page_, &tally), 1);
    EXPECT_EQ(writes_to(peer, 0x20), 31);
    EXPECT_EQ(writes_to(peer, 0x28), 1);
    // Write enable (2), head, 31 words, the probe, the tail, one status poll (3), the probe.
    EXPECT_EQ(peer.received().size() - before, 2u + 1 + 31 + 1 + 1 + 3 + 1);
}

}  // namespace
}  // namespace kestrel::test
