// Page reads through a window of requests in flight against the simulated device: under every
// fault it injects a read ends exact or failed, a write leaves the image or fails, and a device
// whose receive queue overflows makes the window shrink, not the read fail.
#include <gtest/gtest.h>

#include <string>

#include "flash/core/flash_procedures.h"
#include "flash/core/page_io.h"
#include "flash/core/spi_flash.h"
#include "link/link_stats.h"
#include "link/window.h"
#include "sim/faults.h"
#include "support/flash_sim.h"

namespace kestrel::test {
namespace {

struct WindowMode {
    const char* name;
    sim::LinkFaults faults;
};

sim::LinkFaults late(sim::LinkFaults f) {
    f.late_reply_ms = 60;
    f.late_reply_max_ms = 1000;
    f.late_next = 0.5;
    return f;
}

const WindowMode kWindowModes[] = {
    {"LostRequests", {.seed = 201, .lose_request = 0.01}},
    {"LostReplies", {.seed = 202, .lose_reply = 0.01}},
    {"Naks", {.seed = 203, .nak = 0.02}},
    {"LateReplies", late({.seed = 204, .late_reply = 0.01})},
    {"DuplicatedReplies", {.seed = 205, .dup_reply = 0.02}},
    {"DuplicatedRequests", {.seed = 206, .dup_request = 0.02}},
    {"Mix", late({.seed = 207,
                  .lose_request = 0.003,
                  .lose_reply = 0.003,
                  .nak = 0.003,
                  .late_reply = 0.003,
                  .dup_reply = 0.003,
                  .dup_request = 0.003})},
};

class FlashWindow : public FlashSimFixture, public ::testing::WithParamInterface<WindowMode> {
  protected:
    void SetUp() override {
        FlashSimFixture::SetUp();
        (void)set_link_window(*parse_window_setting("auto"));
    }
    void TearDown() override {
        (void)set_link_window(WindowSetting{});
        FlashSimFixture::TearDown();
    }
    ReplyWaitFloor floor_{kRecoveryTestFloorUs};
};

TEST_P(FlashWindow, ReadDumpsTheChipOrReportsFailure) {
    constexpr int kPages = 16;
    load_chip(pattern_bytes(kFlashSize, 17));
    const LinkStats before = link_stats();
    server_->set_faults(GetParam().faults);
    read_flash_to_file(dir_.path(), reporter_, {kPages});
    server_->set_faults(sim::LinkFaults{});

    // A copy of the last reply of a window may come after the window closed; the next exchange
    // then drops it as a stray, so either counter shows the link met the fault.
    const LinkStats seen = link_stats_since(before, link_stats());
    EXPECT_GT(server_->counters().faults.total(), 0u) << "the mode never struck";
    EXPECT_GT(seen.window_breaks + seen.stale_discarded, 0u) << "the link never met a fault";
    if (reporter_.last_status() == "Flash read finished!") {
        const ByteVector dump = read_file(dir_ / kDumpFileName);
        ASSERT_EQ(dump.size(), std::size_t{kPages} * kPageSize);
        EXPECT_TRUE(dump == chip_bytes(dump.size())) << "FALSE SUCCESS: the dump is not the chip";
    } else {
        EXPECT_EQ(reporter_.boxes().size(), 1u) << reporter_.last_status();
        EXPECT_FALSE(std::filesystem::exists(dir_ / kDumpFileName));
    }
}

TEST_P(FlashWindow, WriteProgramsTheImageOrReportsFailure) {
    constexpr int kPages = 8;
    const std::size_t bytes = std::size_t{kPages} * kPageSize;
    load_chip(pattern_bytes(bytes, 18));
    const ByteVector image = pattern_bytes(bytes, 19);
    write_file(dir_ / "update.bin", image);
    server_->set_faults(GetParam().faults);
    int erase_wait = -1;
    write_flash_from_file((dir_ / "update.bin").string(), dir_.path(), erase_wait, reporter_,
                          {kPages});
    server_->set_faults(sim::LinkFaults{});

    if (reporter_.last_status() == "Flash write finished!") {
        EXPECT_TRUE(chip_bytes(bytes) == image) << "FALSE SUCCESS: the chip is not the image";
    } else {
        const auto boxes = reporter_.boxes();
        ASSERT_FALSE(boxes.empty()) << reporter_.last_status();
        EXPECT_NE(boxes.front(), "Write Over !!! please Read Flash for check!");
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, FlashWindow, ::testing::ValuesIn(kWindowModes),
                         [](const auto& p) { return std::string(p.param.name); });

class FlashWindowPoll : public FlashSimFixture {
  protected:
    void TearDown() override {
        (void)set_link_window(WindowSetting{});
        FlashSimFixture::TearDown();
    }
};

// A page program's status poll and its probe go as one run of the window when requests may be
// in flight: the adaptive window grows by one for that clean run, and the page is programmed.
TEST_F(FlashWindowPoll, StatusPollAfterAProgramIsOneRunOfTheWindow) {
    load_chip(ByteVector(kPageSize, 0xFF));
    std::array<std::uint8_t, kPageSize> page{};
    for (std::size_t i = 0; i < page.size(); ++i)
        page[i] = static_cast<std::uint8_t>(i * 5 + 1);
    (void)set_link_window(*parse_window_setting("auto"));
    std::array<std::uint8_t, kPageSize> before{};
    ASSERT_TRUE(read_page_checked(0, before));  // the link learns the device's replies
    const std::size_t window = link_window_now();
    ASSERT_GT(window, 1u);
    ASSERT_LT(window, kAutoWindowCap);
    spi_write_enable();
    EXPECT_EQ(program_page_checked(0, page, ProgramCheck::Later), PageProgram::Done);
    EXPECT_EQ(link_window_now(), window + 1);
    EXPECT_TRUE(chip_bytes(kPageSize) == ByteVector(page.begin(), page.end()));
}

class FlashWindowOverflow : public FlashSimFixture {
  protected:
    void TearDown() override {
        (void)set_link_window(WindowSetting{});
        FlashSimFixture::TearDown();
    }
    ReplyWaitFloor floor_{kRecoveryTestFloorUs};
};

// A device that serves a request in 40 us and keeps 4 waiting drops the rest of a window of 8:
// the window halves and the read stays exact.
TEST_F(FlashWindowOverflow, SmallReceiveQueueShrinksTheWindowAndTheReadStaysExact) {
    constexpr int kPages = 48;
    load_chip(pattern_bytes(kFlashSize, 21));
    (void)set_link_window(WindowSetting{8, false});
    sim::LinkFaults f;
    f.reply_delay_us = 40;
    f.link_delay_us = 150;
    f.rx_queue = 4;
    server_->set_faults(f);
    const LinkStats before = link_stats();
    read_flash_to_file(dir_.path(), reporter_, {kPages});
    const LinkStats seen = link_stats_since(before, link_stats());
    server_->set_faults(sim::LinkFaults{});

    ASSERT_EQ(reporter_.last_status(), "Flash read finished!");
    const ByteVector dump = read_file(dir_ / kDumpFileName);
    EXPECT_TRUE(dump == chip_bytes(dump.size()));
    EXPECT_GT(server_->counters().rx_dropped, 0u) << "the queue never overflowed";
    // How often it overflows again as the window grows back depends on the two threads' pace;
    // that it halved does not.
    EXPECT_GE(seen.window_halvings, 1u);
}

}  // namespace
}  // namespace kestrel::test
