// The one write engine behind both faces: the update dialog's Write Flash and kestrelctl write
// with --no-skip-blank --no-verify send the same register traffic for the same image, with the
// same sleeps and trace lines; and a resumed write that cannot go on ends without erasing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>

#include "flash/core/flash_procedures.h"
#include "flash/core/image_write.h"
#include "support/flash_sim.h"
#include "support/wait_floor.h"

namespace kestrel::test {
namespace {

using ::testing::ElementsAre;
constexpr auto npos = std::string::npos;

constexpr int kPages = 4;

using Traffic = std::vector<std::tuple<sim::Exchange::Kind, std::uint16_t, RegisterWord>>;

struct Recording {
    Traffic traffic;
    std::vector<std::string> procedure_traces;  // " start erase chip " and the like
    std::vector<std::uint32_t> sleeps;
};

// The index of the first exchange where a and b differ (kind, register or word), or -1.
long first_difference(const Traffic& a, const Traffic& b) {
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (a[i] != b[i]) return static_cast<long>(i);
    return a.size() == b.size() ? -1 : static_cast<long>(std::min(a.size(), b.size()));
}

class FlashEngine : public FlashSimFixture {
  protected:
    // A chip of zeros that reads busy for two polls after its erase, the flash access bit clear.
    void fresh_chip() {
        load_chip(ByteVector(kPages * kPageSize, 0x00));
        ASSERT_TRUE(write_reg(SPI_ACCESS, RegisterWord{}));
        with_chip([](sim::NorFlash& chip) { chip.set_erase_busy_polls(2); });
        server_->clear_exchanges();
        traces_.clear();
        sleeps_.clear();
    }
    Recording recorded() {
        Recording run;
        for (const auto& ex : spi_traffic())
            run.traffic.emplace_back(ex.kind, ex.address, ex.word);
        for (const auto& line : traces_.lines())
            if (line.size() > 2 && line.front() == ' ') run.procedure_traces.push_back(line);
        run.sleeps = sleeps_.sleeps();
        return run;
    }
    // A chip erase the chip took and never finishes, as an interrupted write leaves it.
    void erase_under_way() {
        with_chip([](sim::NorFlash& chip) {
            chip.set_hang_busy(true);
            start_chip_erase(chip);
        });
    }
    int chip_erase_commands() {
        int n = 0;
        for (const auto& ex : writes_to(SPI_CMD))
            n += ex.word[0] == 0xC7 ? 1 : 0;
        return n;
    }

    // Three pages and a half, the second one all FFh: a blank page and a padded last page.
    const ByteVector image_ = [] {
        ByteVector b = pattern_bytes(3 * kPageSize + 128);
        std::fill(b.begin() + kPageSize, b.begin() + 2 * kPageSize, 0xFF);
        return b;
    }();
};

TEST_F(FlashEngine, DialogAndCommandLineSendTheSameTrafficForTheSameImage) {
    write_file(dir_ / "update.bin", image_);
    fresh_chip();
    int erase_wait = -1;
    write_flash_from_file((dir_ / "update.bin").string(), dir_.path(), erase_wait, reporter_,
                          {kPages});
    const Recording dialog = recorded();
    ASSERT_EQ(reporter_.last_status(), "Flash write finished!");

    fresh_chip();
    ImageWriteOptions cli;  // kestrelctl write --no-skip-blank --no-verify
    cli.skip_blank = false;
    cli.verify = VerifyScope::None;
    const ImageWriteResult r = write_image(image_, cli, FlashJobHooks{});
    const Recording command_line = recorded();
    ASSERT_EQ(r.outcome, ImageWrite::Ok);

    EXPECT_EQ(erase_wait, 2);
    EXPECT_EQ(r.erase_busy_polls, 2);
    EXPECT_EQ(writes_to(SPI_PP_HEAD).size(), 4u);  // the blank page programmed as well
    EXPECT_EQ(dialog.traffic.size(), command_line.traffic.size());
    EXPECT_EQ(first_difference(dialog.traffic, command_line.traffic), -1);
    EXPECT_THAT(dialog.sleeps, ElementsAre(13000u, 1000u, 3000u, 1000u, 3000u));
    EXPECT_EQ(command_line.sleeps, dialog.sleeps);
    EXPECT_THAT(dialog.procedure_traces, ElementsAre(" start erase chip ", " erase chip done! ",
                                                     " start program........ ", " program ok! "));
    EXPECT_EQ(command_line.procedure_traces, dialog.procedure_traces);
}

// The options the command line has and the dialog has not: a blank page left alone, and the
// programmed pages read back.
TEST_F(FlashEngine, CommandLineDefaultsSkipTheBlankPageAndReadTheOthersBack) {
    fresh_chip();
    const ImageWriteResult r = write_image(image_, ImageWriteOptions{}, FlashJobHooks{});
    EXPECT_EQ(r.outcome, ImageWrite::Ok);
    EXPECT_EQ(r.pages_programmed, 3);
    EXPECT_EQ(r.pages_skipped, 1);
    EXPECT_EQ(r.pages_verified, 3);
    EXPECT_EQ(writes_to(SPI_PP_HEAD).size(), 3u);
    ByteVector want = image_;
    want.resize(kPages * kPageSize, 0xFF);
    EXPECT_EQ(chip_bytes(want.size()), want);
}

// With a verify to come, a page whose load was abandoned for a lost reply is loaded again but
// not read back at once: the load left a right prefix, and the verify reads every page anyway.
// No Read Data instruction (03h) comes before the last page's program.
TEST_F(FlashEngine, LoadAbandonedWithAVerifyToComeIsReadOnlyByTheVerify) {
    const ReplyWaitFloor floor{kRecoveryTestFloorUs};
    const ByteVector image = pattern_bytes(kPages * kPageSize, 5);
    int abandoned = 0;
    for (std::uint64_t seed = 1; seed <= 40 && abandoned < 3; ++seed) {
        SCOPED_TRACE(seed);
        fresh_chip();
        server_->set_faults({.seed = seed, .lose_reply = 0.02});
        const ImageWriteResult r = write_image(image, ImageWriteOptions{}, FlashJobHooks{});
        server_->set_faults(sim::LinkFaults{});
        bool loaded_again = false;
        for (const auto& line : traces_.lines())
            loaded_again = loaded_again || line.find("link fault while loading") != npos;
        if (!loaded_again) continue;
        ++abandoned;
        if (r.outcome == ImageWrite::Ok) {
            EXPECT_EQ(chip_bytes(image.size()), image);
        }
        const auto spi = spi_traffic();
        std::size_t last_tail = 0;
        for (std::size_t i = 0; i < spi.size(); ++i)
            if (spi[i].address == SPI_PP_TAIL && !spi[i].lost_request) last_tail = i;
        for (std::size_t i = 0; i < last_tail; ++i) {
            EXPECT_FALSE(spi[i].address == SPI_CMD && spi[i].word[0] == 0x03 &&
                         !spi[i].lost_request)
                << "a page read back at exchange " << i;
        }
    }
    EXPECT_GT(abandoned, 0) << "no load was abandoned";
}

// A resumed write first waits for a chip that reads busy (a busy chip ignores Read
// Identification, so here it turns busy right after the id check). When that wait ends other
// than ready, the job ends there: no chip erase is sent after a stop was asked for, nor to a
// chip that stays busy.
TEST_F(FlashEngine, ResumedWriteWhoseWaitEndsOtherThanReadyNeverErases) {
    ImageWriteOptions resume;
    resume.resume = true;
    const TraceSink previous = set_trace_sink([&](std::string_view text) {
        if (previous) previous(text);
        if (text == "***************************ID****************************") erase_under_way();
    });
    {
        SCOPED_TRACE("stopped during the wait");
        std::atomic<int> asked{0};
        FlashJobHooks hooks;
        hooks.stop_now = [&asked] { return ++asked >= 2; };
        const ImageWriteResult r = write_image(image_, resume, hooks);
        EXPECT_EQ(r.outcome, ImageWrite::Stopped);
        EXPECT_EQ(r.device_state, "chip erase under way; run write --resume");
        EXPECT_EQ(chip_erase_commands(), 0);
        EXPECT_EQ(writes_to(SPI_ACCESS).size(), 0u);
    }
    with_chip([](sim::NorFlash& chip) { finish_chip_operation(chip); });
    server_->clear_exchanges();
    {
        SCOPED_TRACE("the chip stays busy");
        const ImageWriteResult r = write_image(image_, resume, FlashJobHooks{});
        EXPECT_EQ(r.outcome, ImageWrite::EraseTimedOut);
        EXPECT_EQ(r.device_state, "erase not finished; run write again");
        EXPECT_EQ(chip_erase_commands(), 0);
        EXPECT_EQ(writes_to(SPI_CMD).back().word, word_of({0x04}));  // writes disabled
    }
    set_trace_sink(previous);
}

// A write interrupted during its chip erase leaves a busy chip, which ignores Read
// Identification and reads as no chip. Resumed, the write waits for the erase to end, reads the
// id again and goes on without a second erase.
TEST_F(FlashEngine, ResumedWriteWaitsForAnEraseUnderWayBeforeJudgingTheChip) {
    with_chip([](sim::NorFlash& chip) {
        chip.set_erase_busy_polls(3);
        start_chip_erase(chip);
    });
    ImageWriteOptions resume;
    resume.resume = true;
    resume.chip_pages = kPages;
    const ImageWriteResult r = write_image(image_, resume, FlashJobHooks{});
    EXPECT_EQ(r.outcome, ImageWrite::Ok);
    EXPECT_TRUE(r.resumed);
    EXPECT_EQ(r.device_state, "holds the image");
    EXPECT_EQ(chip_erase_commands(), 0);
    EXPECT_EQ(
        traces_.count(" resume: the chip is busy, waiting for it before reading its id again "), 1);
}

}  // namespace
}  // namespace kestrel::test
