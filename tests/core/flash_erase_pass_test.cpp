// A page whose load a lost request shifted where the link could not see it holds bits that no
// program can set again. The writes then erase the chip and go over the whole image once more,
// a bounded number of times, and say "finished" only over a chip that holds the image. And the
// page load that a late copy of an acknowledgement could fool gives up before its tail.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "flash/core/flash_procedures.h"
#include "flash/core/image_write.h"
#include "flash/core/spi_flash.h"
#include "support/flash_sim.h"
#include "support/raw_peer.h"

namespace kestrel::test {
namespace {

using namespace std::chrono_literals;

constexpr int kPages = 6;
constexpr int kSpoiledPage = 2;

// The simulated device, with a hook that clears the last byte of page 2 right after its
// SPI_PP_TAIL, as a load that lost a word leaves it: the first time only, or every time.
class ErasePass : public FlashSimFixture {
  protected:
    sim::ServerOptions options() override {
        sim::ServerOptions o;
        o.log_exchanges = true;
        o.on_exchange = [this](const sim::Exchange& ex) {
            if (ex.kind != sim::Exchange::Kind::Write) return;
            if (ex.address == 0x0018) head_page_ = ex.word[1] << 8 | ex.word[2];
            if (ex.address != 0x0028 || head_page_ != kSpoiledPage) return;
            if (spoil_times_ <= 0) return;
            --spoil_times_;
            sim::NorFlash& chip = device_.flash();  // the server lock is held here
            ByteVector bytes(chip.contents().begin(), chip.contents().end());
            bytes[kSpoiledPage * kPageSize + 255] = 0x00;
            chip.load(bytes);
        };
        return o;
    }
    int chip_erases() {
        int n = 0;
        for (const auto& ex : writes_to(0x0010)) n += ex.word[0] == 0xC7 ? 1 : 0;
        return n;
    }
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
    int head_page_ = -1;
    std::atomic<int> spoil_times_{1};
    int erase_wait_ = -1;
};

TEST_F(ErasePass, DialogWriteErasesAgainAndFinishesOverTheRightChip) {
    write_flash_from_file(image_file(image_).string(), dir_.path(), erase_wait_, reporter_,
                          {kPages});
    EXPECT_EQ(chip_bytes(kPages * kPageSize), image_);
    EXPECT_EQ(chip_erases(), 2);
    EXPECT_TRUE(traced(" a page can't be mended by a program: erasing the chip again (pass 2 of 5) "));
    EXPECT_EQ(reporter_.statuses().back(), "Flash write finished!");
}

TEST_F(ErasePass, DialogWriteFailsAfterFivePassesThatAllSpoilThePage) {
    spoil_times_ = 1000;
    write_flash_from_file(image_file(image_).string(), dir_.path(), erase_wait_, reporter_,
                          {kPages});
    EXPECT_EQ(chip_erases(), 5);
    EXPECT_EQ(reporter_.statuses().back(), "Flash write failed!");
    EXPECT_THAT(reporter_.boxes(), ::testing::Contains("Flash write one Page error!"));
    // Nothing after the spoiled page was programmed in the last pass.
    const ByteVector chip = chip_bytes(kPages * kPageSize);
    EXPECT_TRUE(std::all_of(chip.begin() + (kSpoiledPage + 1) * kPageSize, chip.end(),
                            [](std::uint8_t b) { return b == 0xFF; }));
}

TEST_F(ErasePass, ImageWriteVerifiesASecondPassAfterTheReadBackDiffers) {
    const ImageWriteResult r = write_image(image_, ImageWriteOptions{}, FlashJobHooks{});
    EXPECT_EQ(r.outcome, ImageWrite::Ok);
    EXPECT_EQ(r.passes, 2);
    EXPECT_EQ(r.pages_verified, kPages);
    EXPECT_EQ(r.device_state, "holds the image");
    EXPECT_EQ(chip_bytes(kPages * kPageSize), image_);
    EXPECT_EQ(chip_erases(), 2);
}

TEST_F(ErasePass, ImageWriteReportsThePageAfterItsLastPass) {
    spoil_times_ = 1000;
    const ImageWriteResult r = write_image(image_, ImageWriteOptions{}, FlashJobHooks{});
    EXPECT_EQ(r.outcome, ImageWrite::VerifyDiffers);
    EXPECT_EQ(r.passes, kWritePasses);
    EXPECT_EQ(r.bad_page, kSpoiledPage);
    EXPECT_EQ(r.bad_address, kSpoiledPage * 256 + 255);
    EXPECT_EQ(chip_erases(), 5);
}

// A scripted device on a link that has shown a copy (its first reply comes twice, unless the
// test says not) and that acknowledges every write at once, except the eleventh SPI_PP_DATA of
// the load: that one gets its acknowledgement 20 ms late, as a copy of the tenth's would come
// while the request itself was lost.
class LoadPaceTest : public ::testing::Test {
  protected:
    void TearDown() override { close_link(); }
    static RawPeer::Script script(std::atomic<int>& data_words, bool copy_first = true) {
        return [&data_words, copy_first](const Bytes& req, int index) {
            RawPeer::Answer a = answer(ack_for(req));
            if (copy_first && index == 0) a.then_extra = ack_for(req);
            if (req[0] == 0x00 && req[2] == 0x00 && req[3] == 0x20 && ++data_words == 11)
                a.delay = 20ms;
            return a;
        };
    }
    static int writes_to(RawPeer& peer, std::uint8_t low) {
        int n = 0;
        for (const auto& r : peer.received())
            n += r.bytes.size() == 18 && r.bytes[0] == 0x00 && r.bytes[2] == 0x00 && r.bytes[3] == low;
        return n;
    }
    static void learn() {
        RegisterWord w{};
        read_reg(0x4000, w);
        std::this_thread::sleep_for(10ms);  // the copy of the first reply waits on the socket
        for (int i = 0; i < 12; ++i) read_reg(0x4000, w);
    }
    std::array<std::uint8_t, 256> page_{};
};

TEST_F(LoadPaceTest, PromptLoadGivesUpBeforeItsTailAtAnAcknowledgementThatComesLikeACopy) {
    std::atomic<int> data_words{0};
    RawPeer peer(script(data_words));
    ASSERT_TRUE(open_link("127.0.0.1", peer.port()));
    learn();
    LinkTally tally;
    EXPECT_EQ(spi_program_page({0, 1, 0}, page_, &tally, LoadPace::Prompt), kProgramAbandoned);
    // At the eleventh word at the latest: a loaded machine can make an earlier one slow.
    EXPECT_GE(tally.paced_out, 1);
    EXPECT_LE(writes_to(peer, 0x20), 11);
    EXPECT_EQ(writes_to(peer, 0x28), 0);  // no SPI_PP_TAIL
}

TEST_F(LoadPaceTest, PromptLoadOnALinkThatNeverShowedAStrayGoesOnToItsTail) {
    std::atomic<int> data_words{0};
    RawPeer peer(script(data_words, false));
    ASSERT_TRUE(open_link("127.0.0.1", peer.port()));
    RegisterWord w{};
    for (int i = 0; i < 12; ++i) ASSERT_TRUE(read_reg(0x4000, w));
    LinkTally tally;
    EXPECT_EQ(spi_program_page({0, 1, 0}, page_, &tally, LoadPace::Prompt), 1);
    EXPECT_EQ(writes_to(peer, 0x28), 1);
}

TEST_F(LoadPaceTest, AnyPaceLoadTakesTheSlowAcknowledgementAndGoesOnToItsTail) {
    std::atomic<int> data_words{0};
    RawPeer peer(script(data_words));
    ASSERT_TRUE(open_link("127.0.0.1", peer.port()));
    learn();
    LinkTally tally;
    EXPECT_EQ(spi_program_page({0, 1, 0}, page_, &tally, LoadPace::Any), 1);
    EXPECT_EQ(writes_to(peer, 0x20), 31);
    EXPECT_EQ(writes_to(peer, 0x28), 1);
}

}  // namespace
}  // namespace kestrel::test
