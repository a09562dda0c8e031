// Reading pages ahead through the window: one run of requests in flight carries the first
// passes of several pages, each handed out only while nothing has crossed the link since.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <vector>

#include "flash/core/page_prefetch.h"
#include "flash/core/page_read.h"
#include "link/link_stats.h"
#include "link/transport.h"
#include "link/window.h"
#include "link/window_setting.h"
#include "protocol/host_regs.h"
#include "support/flash_sim.h"
#include "support/wait_floor.h"

namespace kestrel::test {
namespace {

constexpr std::size_t kPassRequests = 2 + 2 * kPageReadChunks;  // Read Data .. probe
constexpr std::size_t kSecondRead = 2 + 2 * 2;                  // of the last two chunks

std::vector<int> pages_from(int first, int n) {
    std::vector<int> out;
    for (int k = 0; k < n; ++k)
        out.push_back(first + k);
    return out;
}

class FlashPrefetch : public FlashSimFixture {
  protected:
    void SetUp() override {
        FlashSimFixture::SetUp();
        load_chip(pattern_bytes(kFlashSize, 29));
        (void)set_link_window(*parse_window_setting("4"));
        std::array<std::uint8_t, kPageSize> page{};
        ASSERT_TRUE(read_page_checked(0, page));  // the link learns the device's replies
        ASSERT_EQ(link_window_now(), 4u);
    }
    void TearDown() override {
        (void)set_link_window(WindowSetting{});
        FlashSimFixture::TearDown();
    }
    sim::ServerOptions options() override {
        sim::ServerOptions o;
        // Strikes the request served lose_in_ from now (counting from 1) with fault_: its reply
        // lost, unless a test chose another.
        o.on_exchange = [this](const sim::Exchange& ex) {
            if (ex.address == SPI_CMD && ex.word[0] == kCmdReadData && ex.word[2] == 0x01 &&
                ex.word[3] == 0x00)
                ++page_one_opened_;
            const int left = --lose_in_;
            if (left == 1) server_->set_faults_locked(fault_);
            if (left == 0) server_->set_faults_locked(sim::LinkFaults{});
        };
        return o;
    }
    // The word each chunk read of a pass took, against the chip.
    void expect_chip_page(const PrefetchedPass& pass, int k) {
        const ByteVector chip = chip_bytes();
        for (std::size_t c = 0; c < kPageReadChunks; ++c) {
            const RegisterWord& w = pass.results[2 + 2 * c].word;
            EXPECT_TRUE(std::equal(w.begin(), w.end(),
                                   chip.begin() + static_cast<std::ptrdiff_t>(k * 256 + c * 8)))
                << "page " << k << " chunk " << c;
        }
    }
    static std::uint64_t exchanges() { return link_stats().exchanges; }

    sim::LinkFaults fault_{.lose_reply = 1.0};  // set before lose_in_
    std::atomic<int> page_one_opened_{0};       // Read Data at 000100h, page 1's chunk 0
    std::atomic<int> lose_in_{-1};
    // The tests pin exact traffic: the full wait, so that no reply a busy host is slow to see
    // breaks a run (losses show by the next reply, not by a wait).
    ReplyWaitFloor floor_{kFirstWaitUs};
};

TEST_F(FlashPrefetch, EightPagesGoInOneRunAndAreHandedOutWithoutAnotherExchange) {
    PagePrefetch prefetch;
    const std::vector<int> pages = pages_from(1, 10);
    const std::uint64_t before = exchanges();
    const auto first = prefetch.take(256, prefetch.ahead(pages).upcoming);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(exchanges() - before, kPrefetchPages * kPassRequests);
    EXPECT_FALSE(first->run.broken);
    EXPECT_EQ(first->run.answered, kPassRequests);
    expect_chip_page(*first, 1);
    for (int k = 2; k <= 8; ++k) {
        const std::uint64_t at = exchanges();
        const auto next = prefetch.take(static_cast<std::uint32_t>(k) * 256,
                                        prefetch.ahead(pages_from(k, 9 - k + 2)).upcoming);
        ASSERT_TRUE(next.has_value()) << k;
        EXPECT_EQ(exchanges(), at) << "page " << k << " was sent again";
        expect_chip_page(*next, k);
    }
    // The ninth was not sent ahead: a new run starts with it.
    const std::uint64_t at = exchanges();
    ASSERT_TRUE(prefetch.take(9 * 256, prefetch.ahead(pages_from(9, 2)).upcoming).has_value());
    EXPECT_EQ(exchanges() - at, 2 * kPassRequests);
}

// A program or a page's second read between the run and the page makes the replies held for
// it older than what the link has learnt since: the page is sent again.
TEST_F(FlashPrefetch, AnExchangeAfterTheRunSendsTheHeldPagesAgain) {
    PagePrefetch prefetch;
    ASSERT_TRUE(prefetch.take(256, prefetch.ahead(1, 20).upcoming).has_value());
    RegisterWord w{};
    ASSERT_TRUE(read_reg(HOST_CTRL, w));
    const std::uint64_t at = exchanges();
    const auto again = prefetch.take(512, prefetch.ahead(2, 20).upcoming);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(exchanges() - at, kPrefetchPages * kPassRequests);
    expect_chip_page(*again, 2);
}

TEST_F(FlashPrefetch, NothingIsSentAheadWithTheWindowOffOrForAnotherPage) {
    PagePrefetch prefetch;
    const std::uint64_t at = exchanges();
    EXPECT_FALSE(prefetch.take(512, prefetch.ahead(1, 20).upcoming).has_value());
    (void)set_link_window(WindowSetting{});
    EXPECT_FALSE(prefetch.take(256, prefetch.ahead(1, 20).upcoming).has_value());
    EXPECT_EQ(exchanges(), at);
}

// The reply of the 11th request of the fourth page is lost: the three pages before it stand
// as sent, the fourth gets its part of the broken run, and the pages after it are sent anew.
TEST_F(FlashPrefetch, ARunBrokenInAPageHandsItsPartToThatPageAndNothingAfter) {
    PagePrefetch prefetch;
    lose_in_ = static_cast<int>(3 * kPassRequests + 11);
    for (int k = 1; k <= 3; ++k) {
        const auto pass =
            prefetch.take(static_cast<std::uint32_t>(k) * 256, prefetch.ahead(k, 20).upcoming);
        ASSERT_TRUE(pass.has_value());
        EXPECT_FALSE(pass->run.broken) << k;
        expect_chip_page(*pass, k);
    }
    const std::uint64_t at = exchanges();
    const auto broken = prefetch.take(4 * 256, prefetch.ahead(4, 20).upcoming);
    ASSERT_TRUE(broken.has_value());
    EXPECT_EQ(exchanges(), at);
    EXPECT_TRUE(broken->run.broken);
    EXPECT_EQ(broken->run.answered, 10u);
    EXPECT_EQ(broken->run.first_lost, 10u);
    const auto fifth = prefetch.take(5 * 256, prefetch.ahead(5, 20).upcoming);
    ASSERT_TRUE(fifth.has_value());
    EXPECT_GT(exchanges(), at);
    expect_chip_page(*fifth, 5);
}

TEST_F(FlashPrefetch, PagesReadAheadAroundABrokenRunAreTheChips) {
    lose_in_ = static_cast<int>(kPassRequests + 5);  // in the second page's part
    PagePrefetch prefetch;
    ByteVector got;
    std::array<std::uint8_t, kPageSize> page{};
    for (int k = 10; k < 20; ++k) {
        ASSERT_TRUE(
            read_page_checked(static_cast<std::uint32_t>(k) * 256, page, prefetch.ahead(k, 20)));
        got.insert(got.end(), page.begin(), page.end());
    }
    const ByteVector chip = chip_bytes();
    EXPECT_TRUE(got == ByteVector(chip.begin() + 10 * 256, chip.begin() + 20 * 256));
    EXPECT_EQ(server_->counters().faults.lost_replies, 1u);
}

// One reply lost in a page's pass (the read of chunk 19): the window breaks, the chunks before
// it stand, and one run closes the stopped transaction and reads chunks 19..31 again. Dropping
// the chunks before the break would cost a pass over chunks 0..18 too, and the close two round
// trips of its own.
TEST_F(FlashPrefetch, OneLostReplyCostsOnlyTheRestOfThePage) {
    lose_in_ = 41;  // the reply of request 40: Read Data, then a phase and a read per chunk
    std::array<std::uint8_t, kPageSize> page{};
    const std::uint64_t at = exchanges();
    ASSERT_TRUE(read_page_checked(256, page));
    // The broken run (40 answered, 4 in flight), its drain's probe, then the close, its read,
    // Read Data, 13 chunks and the probe.
    EXPECT_EQ(exchanges() - at, 44u + 1u + (2u + 1u + 2u * 13u + 1u));
    const ByteVector chip = chip_bytes();
    EXPECT_TRUE(std::equal(page.begin(), page.end(), chip.begin() + 256));
    EXPECT_EQ(server_->counters().faults.lost_replies, 1u);
}

// A copy of the read of chunk 19 comes right behind it and breaks the window at the next
// request: one datagram over, nothing lost. Only that read is in doubt; the chunks before it
// stand, and the pass goes on from chunk 19 (then, the link having shown a copy, the last two
// chunks are read again). Dropping the whole pass would cost chunks 0..18 again.
TEST_F(FlashPrefetch, OneCopyBreakingAWindowCostsOnlyTheReadBeforeItAndTheRest) {
    fault_ = sim::LinkFaults{.dup_reply = 1.0, .dup_gap_us = 0};
    lose_in_ = 41;  // the read of chunk 19: Read Data, then a phase and a read per chunk
    std::array<std::uint8_t, kPageSize> page{};
    const std::uint64_t at = exchanges();
    ASSERT_TRUE(read_page_checked(256, page));
    // At least: the run broken at request 41 (4 in flight), the drain's probe, the close, its
    // read, Read Data, chunks 19..31 and the probe, then a second read of chunks 30..31.
    EXPECT_GE(exchanges() - at, 45u + 1u + (2u + 1u + 2u * 13u + 1u) + kSecondRead);
    EXPECT_EQ(page_one_opened_, 1) << "chunks 0..18 were read again";
    const ByteVector chip = chip_bytes();
    EXPECT_TRUE(std::equal(page.begin(), page.end(), chip.begin() + 256));
    EXPECT_EQ(server_->counters().faults.dup_replies, 1u);
}

// While the link may make copies each page is read twice. The run carries the second read of
// the page's last two chunks right after its first pass, so a page of random bytes costs one
// run: 66 requests and 6 more, with no round trip of its own for the second read.
TEST_F(FlashPrefetch, UnderCopiesOneRunCarriesAPageAndItsSecondRead) {
    RegisterWord w{};
    for (int tries = 0; tries < 5 && !link_may_make_copies(); ++tries) {
        server_->set_faults(sim::LinkFaults{.dup_reply = 1.0});
        (void)read_reg(HOST_CTRL, w);
        server_->set_faults(sim::LinkFaults{});
        (void)read_reg(HOST_CTRL, w);  // meets the copy, which may stand in for its reply
    }
    ASSERT_TRUE(link_may_make_copies());
    PagePrefetch prefetch;
    std::array<std::uint8_t, kPageSize> page{};
    const LinkStats before = link_stats();
    ASSERT_TRUE(read_page_checked(3 * 256, page, prefetch.ahead(3, 20)));
    const LinkStats cost = link_stats_since(before, link_stats());
    EXPECT_EQ(cost.exchanges, kPassRequests + kSecondRead);
    EXPECT_EQ(cost.window_runs, 1u);
    const ByteVector chip = chip_bytes();
    EXPECT_TRUE(std::equal(page.begin(), page.end(), chip.begin() + 3 * 256));
}

// An adaptive window that losses shrank to one still sends its passes as runs, so that clean
// pages grow it again; one exchange at a time it would stay at one for good.
TEST_F(FlashPrefetch, AnAdaptiveWindowShrunkToOneGrowsAgainOnCleanPages) {
    (void)set_link_window(WindowSetting{1, true});
    ASSERT_EQ(link_window_now(), 1u);
    ASSERT_TRUE(link_window_in_use());
    std::array<std::uint8_t, kPageSize> page{};
    PagePrefetch prefetch;
    ASSERT_TRUE(read_page_checked(256, page, prefetch.ahead(1, 2)));
    EXPECT_EQ(link_window_now(), 2u);
    (void)set_link_window(WindowSetting{1, false});
    EXPECT_FALSE(link_window_in_use());  // a window set to one is off
}

}  // namespace
}  // namespace kestrel::test
