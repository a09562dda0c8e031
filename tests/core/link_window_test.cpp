// A window of requests in flight against a scripted peer: replies are taken only in order and
// shape; a lost, swapped, extra or NAK'd reply stops the run, what is on its way is drained
// behind a probe, and what never came is owed. Also the window's size and its setting's text.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "link/transport.h"
#include "link/window.h"
#include "protocol/host_regs.h"
#include "support/capture.h"
#include "support/raw_peer.h"

namespace kestrel::test {
namespace {

constexpr std::uint16_t kCtrl = 0x0008;

// Requests alternating as a page read does: a write of kCtrl, then a read of it.
std::vector<WindowRequest> alternating(std::size_t n) {
    std::vector<WindowRequest> out;
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(i % 2 == 0 ? WindowRequest{ExchangeKind::Write, kCtrl, RegisterWord{0xB0}}
                                 : WindowRequest{ExchangeKind::Read, kCtrl, {}});
    }
    return out;
}

// Numbers the requests of a run from 0, after the link learnt the device's shape.
class RunCounter {
  public:
    int operator()(const Bytes& req) {
        const bool probe = req[2] == (HOST_CTRL >> 8) && req[3] == (HOST_CTRL & 0xFF);
        if (!learning && !probe) return n++;
        return -1;
    }
    std::atomic<bool> learning{true};
    std::atomic<int> n{0};
};

class LinkWindow : public ::testing::Test {
  protected:
    void open_to(RawPeer& peer) {
        ASSERT_TRUE(open_link("127.0.0.1", peer.port()));
        EXPECT_EQ(link_window_now(), 1u);  // nothing known of the device's replies yet
        RegisterWord w{};
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(read_reg(0x4000, w));
            ASSERT_TRUE(write_reg(0x4000, w));
        }
        run_.learning = false;
    }
    void TearDown() override {
        (void)set_link_window(WindowSetting{});
        close_link();
    }
    // n alternating requests through a window of `window`, their results into results_.
    WindowRun run_alternating(std::size_t window, std::size_t n) {
        (void)set_link_window(WindowSetting{window, false});
        const auto requests = alternating(n);
        results_.assign(requests.size(), ExchangeResult{});
        return exchange_window(requests, results_);
    }
    std::vector<ExchangeResult> results_;
    // A peer that answers request k of the run as `script` says, every other one plainly, a
    // read with k in byte 0 of its word.
    RawPeer peer_with(std::function<RawPeer::Answer(const Bytes&, int)> script) {
        return RawPeer([this, script](const Bytes& req, int) {
            const int k = run_(req);
            if (k >= 0) {
                RawPeer::Answer a = script(req, k);
                if (a.reply || a.then_extra || a.before_reply) return a;
            }
            return answer(ack_for(req, {static_cast<std::uint8_t>(k < 0 ? 0 : k)}));
        });
    }
    RunCounter run_;
    TraceCapture traces_;
};

RawPeer::Answer plain() {
    return RawPeer::Answer{};
}

TEST_F(LinkWindow, RepliesInOrderAreAllTakenWithTheirWords) {
    auto peer = peer_with([](const Bytes&, int) { return plain(); });
    open_to(peer);
    (void)set_link_window(WindowSetting{8, false});
    EXPECT_EQ(link_window_now(), 8u);
    const auto requests = alternating(17);
    std::vector<ExchangeResult> results(requests.size());
    const WindowRun run = exchange_window(requests, results);
    EXPECT_FALSE(run.broken);
    EXPECT_EQ(run.answered, 17u);
    for (std::size_t k = 0; k < results.size(); ++k) {
        EXPECT_EQ(results[k].status, ExchangeStatus::Clean) << k;
        if (k % 2 == 1) {
            EXPECT_EQ(results[k].word[0], k) << k;
        }
    }
    EXPECT_FALSE(link_may_make_copies());
}

TEST_F(LinkWindow, LostReplyStopsTheRunIsOwedAndCountsAsMissingWithoutATimeOut) {
    RawPeer silent_peer([this](const Bytes& req, int) {
        const int k = run_(req);
        if (k == 5) return silence();
        return answer(ack_for(req, {static_cast<std::uint8_t>(k < 0 ? 0 : k)}));
    });
    open_to(silent_peer);
    const LinkStats before = link_stats();
    const WindowRun run = run_alternating(8, 17);
    const LinkStats cost = link_stats_since(before, link_stats());
    const auto& results = results_;
    EXPECT_TRUE(run.broken);
    EXPECT_EQ(run.answered, 5u);
    EXPECT_EQ(run.lost, 1);
    EXPECT_EQ(run.first_lost, 5u);
    EXPECT_TRUE(run.in_step);
    EXPECT_EQ(results[4].word[0], 0u);  // a write's reply carries no word
    EXPECT_EQ(results[3].word[0], 3u);
    for (std::size_t k = 5; k < results.size(); ++k)
        EXPECT_EQ(results[k].status, ExchangeStatus::NoReply) << k;
    // The lost reply may still come; what it can hold is known, so not every page is doubted.
    EXPECT_FALSE(link_may_make_copies());
    // Nothing was sent after the break but the probe that proved the link in step.
    const auto got = silent_peer.received();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().bytes[3], HOST_CTRL & 0xFF);
    EXPECT_LE(run_.n, 5 + 8);
    // The next reply showed the gap: nothing waited out, one reply missing, the drain timed.
    EXPECT_EQ(cost.silent, 0u);
    EXPECT_EQ(cost.missing, 1u);
    EXPECT_GT(cost.drain_ns, 0u);
    EXPECT_GE(cost.exchange_ns, cost.drain_ns);
}

TEST_F(LinkWindow, SwappedRepliesStopTheRunWhereTheyMeet) {
    Bytes held;
    RawPeer peer([this, &held](const Bytes& req, int) {
        const int k = run_(req);
        const Bytes reply = ack_for(req, {static_cast<std::uint8_t>(k < 0 ? 0 : k)});
        if (k == 4) {
            held = reply;  // the write's acknowledgement overtaken by the next reply
            return silence();
        }
        RawPeer::Answer a = answer(reply);
        if (k == 5) a.then_extra = held;
        return a;
    });
    open_to(peer);
    const WindowRun run = run_alternating(8, 17);
    const auto& results = results_;
    EXPECT_TRUE(run.broken);
    EXPECT_EQ(run.answered, 4u);
    EXPECT_EQ(results[4].status, ExchangeStatus::NoReply);
    EXPECT_EQ(results[5].status, ExchangeStatus::NoReply);  // its reply is never a value
}

TEST_F(LinkWindow, CopyOfAReplyStopsTheRunAndMarksTheLinkAsMakingCopies) {
    RawPeer peer([this](const Bytes& req, int) {
        const int k = run_(req);
        RawPeer::Answer a = answer(ack_for(req, {static_cast<std::uint8_t>(k < 0 ? 0 : k)}));
        if (k == 3) a.then_extra = a.reply;
        return a;
    });
    open_to(peer);
    const WindowRun run = run_alternating(8, 17);
    EXPECT_TRUE(run.broken);
    EXPECT_EQ(run.answered, 4u);
    EXPECT_TRUE(run.in_step);
    EXPECT_TRUE(link_may_make_copies());
}

// A run that closes a page's pass with a probe of HOST_CTRL and goes on with the next page,
// and a copy of a reply before that probe: the copy is one datagram left over, not the first of
// replies taken two requests on (which would leave the page probe's reply fitting nothing, to
// pass for the drain probe's). Nothing is lost, and nothing of the run comes later as a stray.
TEST_F(LinkWindow, ACopyInARunWithAPageProbeIsOneDatagramOverAndNothingLost) {
    RawPeer peer([this](const Bytes& req, int) {
        const int k = run_(req);
        RawPeer::Answer a = answer(ack_for(req, {static_cast<std::uint8_t>(k < 0 ? 0 : k)}));
        if (k == 3) {
            a.delay = std::chrono::milliseconds(10);  // every request is sent by then
            a.then_extra = a.reply;
        }
        // The rest come after the drain's probe went out, as on a link with some delay.
        if (k == 4) a.delay = std::chrono::milliseconds(5);
        return a;
    });
    open_to(peer);
    (void)set_link_window(WindowSetting{16, false});
    std::vector<WindowRequest> requests = alternating(8);
    requests.push_back({ExchangeKind::Read, HOST_CTRL, {}});
    const auto next_page = alternating(10);
    requests.insert(requests.end(), next_page.begin(), next_page.end());
    std::vector<ExchangeResult> results(requests.size());
    const WindowRun run = exchange_window(requests, results);
    EXPECT_TRUE(run.broken);
    EXPECT_EQ(run.answered, 4u);
    EXPECT_TRUE(run.in_step);
    EXPECT_EQ(run.lost, 0);
    EXPECT_FALSE(run.lost_at_tail);
    EXPECT_EQ(run.extras, 1);
    // Every request answered, and the copy: whatever the drain left would be waiting now.
    ASSERT_TRUE(peer.wait_sent(static_cast<int>(peer.received().size()) + 1));
    const LinkStats before = link_stats();
    RegisterWord w{};
    ASSERT_TRUE(read_reg(0x4000, w));
    EXPECT_EQ(link_stats_since(before, link_stats()).stale_discarded, 0u);
}

TEST_F(LinkWindow, NakIsKeptAndStopsTheRun) {
    RawPeer peer([this](const Bytes& req, int) {
        const int k = run_(req);
        return answer(
            ack_for(req, {static_cast<std::uint8_t>(k < 0 ? 0 : k)}, k == 3 ? 0x00 : 0x88));
    });
    open_to(peer);
    const WindowRun run = run_alternating(4, 11);
    const auto& results = results_;
    EXPECT_TRUE(run.broken);
    EXPECT_EQ(run.answered, 3u);
    EXPECT_EQ(results[3].status, ExchangeStatus::Nak);
    EXPECT_EQ(run.lost, 0);
    EXPECT_TRUE(run.in_step);
}

TEST(WindowSizeTest, GrowsWhileRunsComeCleanUpToItsCap) {
    WindowSize fixed(WindowSetting{6, false});
    WindowSize adaptive(*parse_window_setting("auto"));
    EXPECT_EQ(adaptive.now(), kAutoWindowStart);
    for (int i = 0; i < 100; ++i) {
        fixed.after({});
        adaptive.after({});
    }
    EXPECT_EQ(fixed.now(), 6u);
    EXPECT_EQ(adaptive.now(), kAutoWindowCap);
}

TEST(WindowSizeTest, OneRandomLossKeepsTheSizeSignsOfOverflowHalveIt) {
    WindowSize w(WindowSetting{16, false});
    w.after({.broken = true, .lost = 1, .lost_at_tail = false, .first_lost = 7});
    EXPECT_EQ(w.now(), 16u);
    w.after(
        {.broken = true, .lost = 3, .lost_at_tail = false, .first_lost = 9, .lost_in_a_row = 1});
    EXPECT_EQ(w.now(), 16u);  // three scattered losses in a large window: random, not a queue
    w.after({.broken = true, .lost = 1, .lost_at_tail = false, .first_lost = 30});
    EXPECT_EQ(w.now(), 16u);  // lost elsewhere: still one random loss each
    w.after({.broken = true, .lost = 1, .lost_at_tail = false, .first_lost = 30});
    EXPECT_EQ(w.now(), 8u);  // the same place twice: a queue that holds that many
    w.after(
        {.broken = true, .lost = 3, .lost_at_tail = false, .first_lost = 2, .lost_in_a_row = 3});
    EXPECT_EQ(w.now(), 4u);
    w.after({.broken = true, .lost = 1, .lost_at_tail = true, .first_lost = 9});
    EXPECT_EQ(w.now(), 2u);
    w.after({.broken = true, .lost = 0, .lost_at_tail = false, .first_lost = 0});  // a NAK
    EXPECT_EQ(w.now(), 2u);
    for (int i = 0; i < 5; ++i)
        w.after({.broken = true,
                 .lost = 2,
                 .lost_at_tail = false,
                 .first_lost = 0,
                 .lost_in_a_row = 2});
    EXPECT_EQ(w.now(), 1u);
}

TEST(WindowSizeTest, SizeThatOverflowedIsTriedAgainOnlyAfterManyCleanRuns) {
    WindowSize w(*parse_window_setting("auto"));
    for (int i = 0; i < 4; ++i)
        w.after({});
    ASSERT_EQ(w.now(), 8u);
    w.after(
        {.broken = true, .lost = 3, .lost_at_tail = false, .first_lost = 6, .lost_in_a_row = 3});
    EXPECT_EQ(w.now(), 4u);
    for (int i = 0; i < kWindowRetryRuns; ++i)
        w.after({});
    EXPECT_EQ(w.now(), 7u);  // below the 8 that overflowed: 3 runs to get there, 61 at it
    for (int i = 0; i < 3; ++i)
        w.after({});
    EXPECT_EQ(w.now(), 8u);  // tried again after kWindowRetryRuns at the ceiling
    w.after({});
    EXPECT_EQ(w.now(), 9u);
}

// A run of pages read ahead grows the window as runs of one page each would; the clean part of
// a broken run counts too, before the losses are judged.
TEST(WindowSizeTest, LongRunsGrowItByTheirCleanPagesAndBreaksStillHalveIt) {
    WindowSize w(*parse_window_setting("auto"));
    w.after({.answered = 8 * 66});
    EXPECT_EQ(w.now(), kAutoWindowStart + 8);
    w.after({.broken = true, .lost = 1, .lost_at_tail = false, .first_lost = 200, .answered = 200});
    EXPECT_EQ(w.now(), kAutoWindowStart + 11);  // three steps of clean replies, one loss
    w.after({.broken = true,
             .lost = 4,
             .lost_at_tail = false,
             .first_lost = 130,
             .answered = 130,
             .lost_in_a_row = 2});
    EXPECT_EQ(w.now(), (kAutoWindowStart + 13) / 2);  // two steps, then signs of overflow
    w.after({.answered = 10});
    EXPECT_EQ(w.now(), (kAutoWindowStart + 13) / 2 + 1);  // a short clean run: one step
}

TEST(WindowSettingTest, TakesAutoOrAWholeNumberFromOneToSixtyFour) {
    EXPECT_EQ(parse_window_setting("auto"), (WindowSetting{kAutoWindowStart, true}));
    EXPECT_EQ(parse_window_setting("1"), (WindowSetting{1, false}));
    EXPECT_TRUE(parse_window_setting("1")->off());
    EXPECT_EQ(parse_window_setting("64"), (WindowSetting{64, false}));
    for (const char* bad : {"", "0", "65", "-1", "4x", " 4", "Auto", "1e3", "99999999999999999999"})
        EXPECT_FALSE(parse_window_setting(bad).has_value()) << bad;
}

}  // namespace
}  // namespace kestrel::test
