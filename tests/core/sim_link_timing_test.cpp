// The simulator's link timing, seen by a bare client: replies held up by jitter keep their
// order, the link's delay lets many datagrams travel at once, and a small receive queue drops
// what finds it full. None of them is a fault: nothing is lost or duplicated unless the queue
// overflows.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "sim/device.h"
#include "sim/server.h"
#include "support/raw_client.h"

namespace kestrel::test {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

class SimTiming : public ::testing::Test {
  protected:
    void start(const sim::LinkFaults& faults) {
        sim::ServerOptions options;
        options.faults = faults;
        server_ = std::make_unique<sim::Server>(device_, options);
        ASSERT_TRUE(server_->start());
        client_ = std::make_unique<RawClient>(server_->port());
    }
    void TearDown() override {
        if (server_) server_->stop();
    }
    // The registers named by the replies that come within `patience` each, at most n.
    std::vector<std::uint16_t> replies(int n, std::chrono::milliseconds patience = 2000ms) {
        std::vector<std::uint16_t> out;
        for (int i = 0; i < n; ++i) {
            const auto r = client_->receive(patience);
            if (!r) break;
            out.push_back(r->address());
            taken_.push_back(r->taken);
        }
        return out;
    }

    sim::Device device_;
    std::unique_ptr<sim::Server> server_;
    std::unique_ptr<RawClient> client_;
    std::vector<RawClient::Clock::time_point> taken_;
};

TEST_F(SimTiming, JitteredRepliesAreHeldButLaterOnesWaitBehindThemInOrder) {
    sim::LinkFaults f{.seed = 2};
    f.reply_jitter = 1.0;
    f.reply_jitter_max_ms = 20;
    start(f);
    for (std::uint16_t reg = 0x0201; reg <= 0x0208; ++reg)
        client_->send_read(reg);
    EXPECT_THAT(replies(9, 500ms),
                ElementsAre(0x0201, 0x0202, 0x0203, 0x0204, 0x0205, 0x0206, 0x0207, 0x0208));
    const sim::ServerCounters c = server_->counters();
    EXPECT_EQ(c.replies, 8u);
    EXPECT_EQ(c.jittered_replies, 8u);
    EXPECT_EQ(c.faults.total(), 0u) << "jitter is not a fault";
}

TEST_F(SimTiming, JitterHoldsOnlyItsShareAndNeverBeyondItsMaximum) {
    sim::LinkFaults f{.seed = 5};
    f.reply_jitter = 0.5;
    f.reply_jitter_max_ms = 30;
    start(f);
    for (int i = 0; i < 40; ++i) {
        (void)client_->send_read(0x4010);
        ASSERT_TRUE(client_->receive(2000ms)) << "reply " << i;
    }
    // What the simulator drew, not the wall clock: a loaded host stretches every wait.
    const sim::ServerCounters c = server_->counters();
    EXPECT_GE(c.jittered_replies, 8u);
    EXPECT_LE(c.jittered_replies, 32u);
    EXPECT_GT(c.max_jitter_us, 0u);
    EXPECT_LE(c.max_jitter_us, 30000u);
    EXPECT_EQ(c.faults.total(), 0u);
}

TEST_F(SimTiming, LinkDelayCarriesManyRequestsAtOnceEachWayAndKeepsTheirOrder) {
    sim::LinkFaults f;
    f.link_delay_us = 50000;  // 50 ms each way
    start(f);
    const auto first = client_->send_read(0x0301);
    for (std::uint16_t reg = 0x0302; reg <= 0x0306; ++reg)
        client_->send_read(reg);
    EXPECT_THAT(replies(6), ElementsAre(0x0301, 0x0302, 0x0303, 0x0304, 0x0305, 0x0306));
    ASSERT_EQ(taken_.size(), 6u);
    EXPECT_GE(taken_.front() - first, 100ms) << "both ways";
    // In flight together: all six are back well before four round trips (one at a time: six;
    // the slack is for a loaded host).
    EXPECT_LT(taken_.back() - first, 400ms);
}

TEST_F(SimTiming, FullReceiveQueueDropsWhatArrivesAndServesTheRestInOrder) {
    sim::LinkFaults f;
    f.reply_delay_us = 30000;  // each request is served for 30 ms, one at a time
    f.rx_queue = 2;
    start(f);
    for (std::uint16_t reg = 0x0401; reg <= 0x0405; ++reg)
        client_->send_read(reg);
    // 0401 in service, 0402 and 0403 waiting, 0404 and 0405 find the queue full.
    EXPECT_THAT(replies(5, 300ms), ElementsAre(0x0401, 0x0402, 0x0403));
    ASSERT_EQ(taken_.size(), 3u);
    // 60 ms one after another, none at once; a loaded host may take the first reply late.
    EXPECT_GE(taken_[2] - taken_[0], 30ms) << "served one after another";
    const sim::ServerCounters c = server_->counters();
    EXPECT_EQ(c.rx_dropped, 2u);
    EXPECT_EQ(c.reads, 3u);
}

TEST_F(SimTiming, WithoutAQueueLimitTheServiceTimeOverlapsAsBefore) {
    sim::LinkFaults f;
    f.reply_delay_us = 100000;
    start(f);
    const auto sent = client_->send_read(0x0501);
    client_->send_read(0x0502);
    client_->send_read(0x0503);
    EXPECT_THAT(replies(3), ElementsAre(0x0501, 0x0502, 0x0503));
    ASSERT_EQ(taken_.size(), 3u);
    EXPECT_LT(taken_[2] - sent, 190ms) << "one at a time would take 300 ms";
    EXPECT_EQ(server_->counters().rx_dropped, 0u);
}

}  // namespace
}  // namespace kestrel::test
