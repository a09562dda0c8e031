// The reply wait as a value: the measured round trips set it, a time-out doubles it, and a late
// reply stretches it.
#include <gtest/gtest.h>

#include <thread>

#include "link/reply_wait.h"
#include "support/wait_floor.h"

namespace kestrel {
namespace {

// The tests of this program run with the described 50 ms as the floor; these use the real one,
// and the real nudge also under the sanitizers (no device answers here).
class ReplyWaitTest : public ::testing::Test {
  protected:
    ~ReplyWaitTest() override { set_reply_nudge_floor_us(previous_nudge_); }

  private:
    test::ReplyWaitFloor floor_{kMinWaitUs};
    std::uint32_t previous_nudge_ = set_reply_nudge_floor_us(kMinNudgeUs);
};

ReplyWait measured_at(std::uint32_t rtt_us) {
    ReplyWait w;
    for (int i = 0; i < 20; ++i)
        w.measured(rtt_us);
    return w;
}

TEST_F(ReplyWaitTest, FirstWaitIsTheDescribedOneThenTheFloorForAFastDevice) {
    EXPECT_EQ(ReplyWait{}.wait_us(), kFirstWaitUs);
    EXPECT_EQ(measured_at(100).wait_us(), kMinWaitUs);
}

// A reply is asked for again once it is slower than the nudge's own floor (250 us) and than the
// recent round trips; never before the first one, and never as late as the wait.
TEST_F(ReplyWaitTest, NudgeComesAfterItsFloorOrTheRecentRoundTrips) {
    EXPECT_EQ(ReplyWait{}.nudge_us(), 0u);
    EXPECT_EQ(measured_at(100).nudge_us(), 250u);
    ReplyWait w = measured_at(100);
    w.measured(2400);
    EXPECT_EQ(w.nudge_us(), 3000u);  // 5/4 of the slowest recent reply
    EXPECT_EQ(w.wait_us(), kMinWaitUs);
}

// A reply 30 ms late after a 4 ms wait: a slower device, and the wait covers it.
TEST_F(ReplyWaitTest, ReplyPastTheWaitStretchesIt) {
    ReplyWait w = measured_at(100);
    w.came_late(30000);
    EXPECT_EQ(w.wait_us(), 37500u);  // 5/4 of the slowest recent reply
}

TEST_F(ReplyWaitTest, TimeOutsDoubleTheWaitUntilARoundTripIsMeasuredAgain) {
    ReplyWait w = measured_at(100);
    w.timed_out();
    w.timed_out();
    EXPECT_EQ(w.wait_us(), 4 * kMinWaitUs);
    w.measured(100);
    EXPECT_EQ(w.wait_us(), kMinWaitUs);
}

// The mailbox and the reset wait the described 50 ms inside a scope; scopes nest and end.
TEST_F(ReplyWaitTest, FullWaitHoldsWhileAScopeLivesOnItsThreadOnly) {
    EXPECT_FALSE(full_reply_wait());
    {
        const FullReplyWait outer;
        {
            const FullReplyWait inner;
            EXPECT_TRUE(full_reply_wait());
        }
        EXPECT_TRUE(full_reply_wait());
        bool elsewhere = true;
        std::thread([&] { elsewhere = full_reply_wait(); }).join();
        EXPECT_FALSE(elsewhere);
    }
    EXPECT_FALSE(full_reply_wait());
}

}  // namespace
}  // namespace kestrel
