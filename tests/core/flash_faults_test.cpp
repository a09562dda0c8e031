// Link faults from the simulator during reads and writes: retries only after a fault, and the
// procedures end either with the chip's true contents or with a clear failure, never with a
// false success.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <thread>

#include "flash/core/erase_wait.h"
#include "flash/core/flash_procedures.h"
#include "flash/core/page_read.h"
#include "flash/core/spi_flash.h"
#include "link/link_stats.h"
#include "link/transport.h"
#include "protocol/host_regs.h"
#include "sim/faults.h"
#include "support/flash_sim.h"

namespace kestrel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

const char* const kWriteOver = "Write Over !!! please Read Flash for check!";

class FlashFaults : public FlashSimFixture {
  protected:
    ReplyWaitFloor floor_{kRecoveryTestFloorUs};  // recovery as it runs for real
    void set_faults(sim::LinkFaults faults) { server_->set_faults(faults); }
    void no_faults() { server_->set_faults(sim::LinkFaults{}); }
    int traces_with(const std::string& part) {
        int n = 0;
        for (const auto& line : traces_.lines())
            n += line.find(part) != std::string::npos;
        return n;
    }
    bool chip_busy() {
        return with_chip([](sim::NorFlash& chip) { return chip.busy(); });
    }
};

// One chunk read's reply comes late (30 ms, past the wait) on a link that loses and copies
// nothing else, as a busy host makes it: the chunk is read again, the late reply is taken for
// that read's, and the link stays trusted (the next page costs its 66 exchanges, no second
// read). Before, the late reply held the word the read after the fault had just taken, was
// taken for a copy of it, and every page was read twice for 10 s.
class FlashSlowReply : public FlashFaults {
  protected:
    sim::ServerOptions options() override {
        sim::ServerOptions o;
        o.on_exchange = [this](const sim::Exchange&) {
            const int left = --late_in_;
            if (left == 1) {
                server_->set_faults_locked(sim::LinkFaults{.late_reply = 1.0, .late_reply_ms = 30});
            }
            if (left == 0) server_->set_faults_locked(sim::LinkFaults{});
        };
        return o;
    }
    std::atomic<int> late_in_{-1};
};

TEST_F(FlashSlowReply, OneSlowChunkReplyLeavesTheLinkTrusted) {
    // A floor the 30 ms reply still misses, while the page that checks the link, counted to
    // the exchange, meets no time-out a loaded host makes (the late reply of an earlier page
    // does not stretch the wait for it).
    const ReplyWaitFloor floor(std::max<std::uint32_t>(kRecoveryTestFloorUs, 12000));
    load_chip(pattern_bytes(kFlashSize, 29));
    const ByteVector chip = chip_bytes(0x1100);
    std::array<std::uint8_t, kPageSize> page{};
    for (const int at : {3, 25, 65}) {  // the reads of chunks 0, 11 and 31
        // The wait learns the device, and forgets the last case's late reply.
        for (int k = 0; k < 20; ++k)
            ASSERT_TRUE(read_page_checked(static_cast<std::uint32_t>(k) * kPageSize, page));
        const LinkStats before = link_stats();
        late_in_ = at;
        ASSERT_TRUE(read_page_checked(0x1000, page));
        EXPECT_TRUE(std::equal(page.begin(), page.end(), chip.begin() + 0x1000)) << at;
        std::this_thread::sleep_for(std::chrono::milliseconds(60));  // the late reply is in
        RegisterWord w{};
        (void)read_reg(HOST_CTRL, w);
        if (link_stats_since(before, link_stats()).silent == 0)
            GTEST_SKIP() << "the wait covered the slow reply on this loaded host";
        const LinkStats next = link_stats();
        ASSERT_TRUE(read_page_checked(0x1100, page));
        EXPECT_FALSE(link_may_make_copies()) << at;
        EXPECT_EQ(link_stats_since(next, link_stats()).exchanges, 66u) << at;
        EXPECT_EQ(link_stats_since(before, link_stats()).duplicates, 0u) << at;
    }
}

// A NAK at chunk k ends the transaction there; the next one opens at chunk k itself (a Read
// Data transaction can open at any address), not at the page's start.
TEST_F(FlashFaults, FaultyChunkIsReadAgainFromItselfInAFreshTransaction) {
    load_chip(pattern_bytes(kFlashSize));
    set_faults({.seed = 11, .nak = 0.01});
    read_flash_to_file(dir_.path(), reporter_, {8});

    EXPECT_EQ(read_file(dir_ / kDumpFileName), chip_bytes(8 * kPageSize));
    EXPECT_EQ(reporter_.last_status(), "Flash read finished!");
    EXPECT_TRUE(reporter_.boxes().empty());
    int resumed = 0;
    const auto traffic = spi_traffic();
    for (std::size_t i = 0; i + 1 < traffic.size(); ++i) {
        const auto& w = traffic[i].word;
        if (traffic[i].kind != sim::Exchange::Kind::Write || traffic[i].address != SPI_CMD ||
            w[0] != 0x03) {
            continue;
        }
        const auto& ctrl = traffic[i + 1].word;
        // The opening phase: B0 48, or F0 48 for the last chunk alone.
        EXPECT_TRUE((ctrl[0] == 0xB0 || ctrl[0] == 0xF0) && ctrl[1] == 0x48);
        resumed += w[3] != 0x00 ? 1 : 0;  // opened inside its page
    }
    EXPECT_GT(resumed, 0);
    EXPECT_GT(traces_with("reading on from there"), 0);
}

TEST_F(FlashFaults, ReadUnderLostAndLateRepliesDumpsTheChipOrFailsClearly) {
    constexpr int kPages = 10;
    load_chip(pattern_bytes(kFlashSize));
    set_faults({.seed = 5, .lose_request = 0.01, .lose_reply = 0.01, .late_reply = 0.01});
    read_flash_to_file(dir_.path(), reporter_, {kPages});
    no_faults();

    EXPECT_GT(traces_.count("READ Reg32, ACK error! ") + traces_.count("WRITE Reg32, ACK error! "),
              0);
    if (reporter_.last_status() == "Flash read finished!") {
        EXPECT_TRUE(reporter_.boxes().empty());
        const ByteVector dump = read_file(dir_ / kDumpFileName);
        const ByteVector chip = chip_bytes(kPages * kPageSize);
        EXPECT_TRUE(dump == chip) << "FALSE SUCCESS";
    } else {
        EXPECT_EQ(reporter_.last_status(), "Flash read failed!");
        EXPECT_EQ(reporter_.boxes().size(), 1u);
        EXPECT_FALSE(std::filesystem::exists(dir_ / kDumpFileName));
    }
}

TEST_F(FlashFaults, UnacknowledgedStatusPollNeverEndsAPageProgramEarly) {
    // A lost status reply reads as 00h; the poll must still count as busy.
    with_chip([](sim::NorFlash& chip) { chip.set_program_busy_polls(10); });
    std::array<std::uint8_t, kPageSize> page{};
    for (std::uint32_t k = 0; k < 3; ++k) {
        set_faults({.seed = 3 + k, .lose_reply = 0.1});
        const int result = spi_program_page(flash_address(k * kPageSize), page);
        no_faults();
        if (result == 1) {
            EXPECT_FALSE(chip_busy()) << "page " << k;
        }
        with_chip([](sim::NorFlash& chip) {
            finish_chip_operation(chip);
            chip.set_program_busy_polls(10);
        });
    }
    EXPECT_GT(traces_with("ACK error! "), 0);
}

TEST_F(FlashFaults, UnacknowledgedStatusPollsKeepTheEraseWaitGoing) {
    with_chip([](sim::NorFlash& chip) {
        chip.set_erase_busy_polls(6);
        start_chip_erase(chip);
    });
    set_faults({.seed = 10, .lose_reply = 0.3});
    int erase_wait = 0;
    const EraseWaitEnd end =
        wait_for_erase({dir_.path(), /*device_gone_ends_wait=*/false}, FlashJobHooks{}, erase_wait);
    no_faults();
    EXPECT_EQ(end, EraseWaitEnd::Ready);
    EXPECT_FALSE(chip_busy());
    EXPECT_GE(erase_wait, 6);
    EXPECT_GT(traces_with("ACK error! "), 0);
}

// From the chip erase on the device acknowledges nothing: the write stops before any page
// instead of programming over a chip that may still hold the old image.
TEST_F(FlashFaults, EraseNeverAcknowledgedStopsBeforeAnyPage) {
    load_chip(ByteVector(4 * kPageSize, 0x00));
    write_file(dir_ / "update.bin", pattern_bytes(4 * kPageSize));
    std::vector<std::string> lines;
    const TraceSink previous = set_trace_sink([&](std::string_view text) {
        lines.emplace_back(text);
        if (text == " start erase chip ") set_faults({.seed = 3, .nak = 1.0});
    });
    int erase_wait = -1;
    write_flash_from_file((dir_ / "update.bin").string(), dir_.path(), erase_wait, reporter_, {4});
    set_trace_sink(previous);
    no_faults();

    EXPECT_THAT(reporter_.statuses(), ElementsAre("Flash writing...", "Flash write failed!"));
    EXPECT_THAT(reporter_.boxes(), ElementsAre(kEraseNotAcknowledged));
    EXPECT_TRUE(reporter_.progress().empty());
    EXPECT_EQ(sleeps_.count(13000), 0);  // no try was taken: no pause
    EXPECT_EQ(
        std::count(lines.begin(), lines.end(), " erase chip not acknowledged, nothing programmed "),
        1);
    for (const auto& ex : spi_traffic())
        EXPECT_NE(ex.address, SPI_PP_HEAD) << "a page was programmed";
}

// Lost acknowledgements around the chip erase: a try the status then shows running is taken
// (one pause), a try not taken is sent again at once, and the chip holds the image after
// "finished".
TEST_F(FlashFaults, ChipEraseWithLostAcknowledgementsIsSettledByTheStatus) {
    constexpr int kPages = 2;
    const ByteVector image = pattern_bytes(kPages * kPageSize);
    write_file(dir_ / "update.bin", image);
    int settled_by_status = 0;
    for (std::uint64_t seed = 1; seed <= 12; ++seed) {
        load_chip(ByteVector(kPages * kPageSize + 16, 0x00));
        // Odd seeds: a chip that reads busy for a while after the erase; even: one done at once.
        with_chip([&](sim::NorFlash& chip) {
            finish_chip_operation(chip);
            chip.set_erase_busy_polls(seed % 2 ? 3 : 0);
        });
        std::vector<std::string> lines;
        int pauses = 0;
        const TraceSink previous_trace = set_trace_sink([&](std::string_view text) {
            lines.emplace_back(text);
            if (text == " start erase chip ") set_faults({.seed = seed, .lose_reply = 0.25});
        });
        // The faults end with the erase's pause.
        const SleepFunction previous_sleep = set_sleep_function([&](std::uint32_t ms) {
            if (ms == kEraseSleepMs) {
                ++pauses;
                no_faults();
            }
        });
        RecordingReporter reporter;
        int erase_wait = -1;
        write_flash_from_file((dir_ / "update.bin").string(), dir_.path(), erase_wait, reporter,
                              {kPages});
        set_sleep_function(previous_sleep);
        set_trace_sink(previous_trace);
        no_faults();
        EXPECT_LE(pauses, 1) << "seed " << seed;
        if (reporter.last_status() == "Flash write finished!") {
            ByteVector want = image;
            want.resize(image.size() + 16, 0xFF);
            EXPECT_EQ(chip_bytes(want.size()), want) << "seed " << seed;
        } else {
            EXPECT_THAT(reporter.boxes(), ElementsAre(kEraseNotAcknowledged)) << "seed " << seed;
        }
        for (const auto& line : lines)
            settled_by_status += line.find("but the chip reads busy: erasing") != std::string::npos;
    }
    EXPECT_GT(settled_by_status, 0);
}

TEST_F(FlashFaults, WriteUnderLostAndLateRepliesProgramsTheImageOrFailsClearly) {
    constexpr int kPages = 6;
    load_chip(ByteVector(kPages * kPageSize, 0x00));
    const ByteVector image = pattern_bytes(kPages * kPageSize);
    write_file(dir_ / "update.bin", image);
    set_faults({.seed = 21, .lose_reply = 0.02, .nak = 0.02, .late_reply = 0.02});
    int erase_wait = -1;
    write_flash_from_file((dir_ / "update.bin").string(), dir_.path(), erase_wait, reporter_,
                          {kPages});
    no_faults();

    EXPECT_GT(server_->counters().faults.total(), 0u);
    if (reporter_.last_status() == "Flash write finished!") {
        EXPECT_THAT(reporter_.boxes(), ElementsAre(kWriteOver));
        EXPECT_EQ(chip_bytes(image.size()), image);
    } else {
        EXPECT_EQ(reporter_.last_status(), "Flash write failed!");
        EXPECT_THAT(reporter_.boxes(), ElementsAre("Flash write one Page error!", kWriteOver));
    }
}

TEST_F(FlashFaults, WriteUnderLostRequestsNeverReportsSuccessOverAWrongPage) {
    constexpr int kPages = 6;
    load_chip(ByteVector(kPages * kPageSize, 0x00));
    const ByteVector image = pattern_bytes(kPages * kPageSize);
    write_file(dir_ / "update.bin", image);
    set_faults({.seed = 2, .lose_request = 0.03});
    int erase_wait = -1;
    write_flash_from_file((dir_ / "update.bin").string(), dir_.path(), erase_wait, reporter_,
                          {kPages});
    no_faults();

    EXPECT_GT(traces_.count("WRITE Reg32, ACK error! "), 0);
    if (reporter_.last_status() == "Flash write finished!") {
        EXPECT_EQ(chip_bytes(image.size()), image);
    } else {
        // A clear failure: a page that could not be programmed, or (when the losses hit every
        // try of it) a chip erase that was never acknowledged, before anything was programmed.
        EXPECT_EQ(reporter_.last_status(), "Flash write failed!");
        const auto boxes = reporter_.boxes();
        if (boxes.size() == 1) {
            EXPECT_EQ(boxes[0], kEraseNotAcknowledged);
        } else {
            EXPECT_THAT(boxes, ElementsAre("Flash write one Page error!", kWriteOver));
            EXPECT_EQ(traces_with(" failed: "), 1);
        }
    }
}

// Duplicated replies, on a device that echoes and on one that neither echoes nor tells reads
// from writes by length: a dump that says "finished" is the chip, byte for byte, and any other
// end leaves no dump.
TEST_F(FlashFaults, ReadUnderDuplicatedRepliesDumpsTheChipOrFailsClearly) {
    constexpr int kPages = 12;
    load_chip(pattern_bytes(kFlashSize));
    for (const bool plain_device : {false, true}) {
        SCOPED_TRACE(plain_device ? "no echo, 22-byte write replies" : "echoing device");
        sim::LinkFaults faults{.seed = 31, .dup_reply = 0.02};
        faults.dup_gap_us = 150;
        faults.no_echo = plain_device;
        faults.long_write_replies = plain_device;
        set_faults(faults);
        RecordingReporter reporter;
        read_flash_to_file(dir_.path(), reporter, {kPages});
        no_faults();
        if (reporter.last_status() == "Flash read finished!") {
            EXPECT_TRUE(reporter.boxes().empty());
            EXPECT_EQ(read_file(dir_ / kDumpFileName), chip_bytes(kPages * kPageSize));
        } else {
            EXPECT_EQ(reporter.boxes().size(), 1u);
            EXPECT_FALSE(std::filesystem::exists(dir_ / kDumpFileName));
        }
        std::filesystem::remove(dir_ / kDumpFileName);
    }
}

TEST_F(FlashFaults, WriteUnderDuplicatedRepliesProgramsTheImageOrFailsClearly) {
    constexpr int kPages = 6;
    load_chip(ByteVector(kPages * kPageSize, 0x00));
    const ByteVector image = pattern_bytes(kPages * kPageSize);
    write_file(dir_ / "update.bin", image);
    sim::LinkFaults faults{.seed = 41, .dup_reply = 0.02};
    faults.dup_gap_us = 150;
    set_faults(faults);
    int erase_wait = -1;
    write_flash_from_file((dir_ / "update.bin").string(), dir_.path(), erase_wait, reporter_,
                          {kPages});
    no_faults();
    if (reporter_.last_status() == "Flash write finished!") {
        EXPECT_EQ(chip_bytes(image.size()), image);
    } else {
        EXPECT_EQ(reporter_.last_status(), "Flash write failed!");
    }
}

}  // namespace
}  // namespace kestrel::test
