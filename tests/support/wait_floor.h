// The link's reply-wait floor in tests. Most tests pin exact traffic, and on a loaded machine a
// reply can take several milliseconds: they run with the described 50 ms as the floor. Tests of
// recovery and of the adaptive wait itself put the real floor back with ReplyWaitFloor.
#pragma once

#include "link/reply_wait.h"

namespace kestrel::test {

// The nudge that comes with the program's floor: the program's, but under the sanitizers (several
// times slower) one that a slow in-process device does not pass in a fault-free exchange.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr std::uint32_t kTestNudgeUs = 1000;
#else
inline constexpr std::uint32_t kTestNudgeUs = kMinNudgeUs;
#endif

// The program's floor comes with the program's nudge; a raised one with a nudge at a quarter of
// it, so that a reply a loaded machine was slow to see is not asked for again.
class ReplyWaitFloor {
  public:
    explicit ReplyWaitFloor(std::uint32_t us)
        : previous_(set_reply_wait_floor_us(us)),
          previous_nudge_(set_reply_nudge_floor_us(us == kMinWaitUs ? kTestNudgeUs : us / 4)) {}
    ~ReplyWaitFloor() {
        set_reply_wait_floor_us(previous_);
        set_reply_nudge_floor_us(previous_nudge_);
    }
    ReplyWaitFloor(const ReplyWaitFloor&) = delete;
    ReplyWaitFloor& operator=(const ReplyWaitFloor&) = delete;

  private:
    std::uint32_t previous_;
    std::uint32_t previous_nudge_;
};

// Exchanges that never ask again for a slow reply, for tests of the wait itself.
class NoReplyNudges {
  public:
    NoReplyNudges() : previous_(set_reply_nudges(false)) {}
    ~NoReplyNudges() { set_reply_nudges(previous_); }
    NoReplyNudges(const NoReplyNudges&) = delete;
    NoReplyNudges& operator=(const NoReplyNudges&) = delete;

  private:
    bool previous_;
};

// The floor the recovery tests run with: the real one, but under the sanitizers (several times
// slower) one that a slow in-process device does not miss in a fault-free exchange, so that the
// faults a test injects are what it recovers from.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr std::uint32_t kRecoveryTestFloorUs = 20000;
#else
inline constexpr std::uint32_t kRecoveryTestFloorUs = kMinWaitUs;
#endif

// Set once per test program, before any test runs.
inline const ReplyWaitFloor g_test_wait_floor{kFirstWaitUs};

}  // namespace kestrel::test
