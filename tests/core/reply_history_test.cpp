// What the link's reply history makes of strays: a late reply it still expected is no sign of
// copies; anything it cannot place is.
#include <gtest/gtest.h>

#include "link/reply_history.h"

namespace kestrel {
namespace {

constexpr std::uint32_t kCtrl = 0x1008;
constexpr std::uint32_t kData = 0x100C;
const RegisterWord kWordA{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const RegisterWord kZero{};

TEST(ReplyHistory, LateAcknowledgementOfASettledWriteDebtIsLateNotACopy) {
    ReplyHistory h;
    h.owe(ExchangeKind::Write, kCtrl, 1000);
    ASSERT_TRUE(h.owes(ExchangeKind::Write, kCtrl, 1100));
    h.settle_owed(ExchangeKind::Write, kCtrl);  // the next write's ack was taken in doubt
    EXPECT_FALSE(h.owes_any(1200));
    const StraySort late = h.stray(ExchangeKind::Write, true, kCtrl, kZero, 3000);
    EXPECT_EQ(late.kind, StrayKind::Late);
    EXPECT_EQ(late.owed_since_us, 1000u);
    EXPECT_FALSE(h.duplicates_seen(3100));
    EXPECT_FALSE(h.may_make_copies(3100));
    // Only once: a second acknowledgement for it is one the link cannot place.
    EXPECT_EQ(h.stray(ExchangeKind::Write, true, kCtrl, kZero, 3200).kind, StrayKind::Other);
    EXPECT_TRUE(h.duplicates_seen(3300));
}

TEST(ReplyHistory, SettledDebtMatchesOnlyItsOwnKindAndRegister) {
    ReplyHistory h;
    h.owe(ExchangeKind::Write, kCtrl, 1000);
    h.settle_owed(ExchangeKind::Write, kCtrl);
    EXPECT_EQ(h.stray(ExchangeKind::Write, true, kData, kZero, 2000).kind, StrayKind::Other);
    EXPECT_EQ(h.stray(ExchangeKind::Read, true, kCtrl, kWordA, 2100).kind, StrayKind::Other);
    EXPECT_EQ(h.stray(ExchangeKind::Write, true, kCtrl, kZero, 2200).kind, StrayKind::Late);
}

TEST(ReplyHistory, SettledDebtIsForgottenWithTheOwedOnes) {
    ReplyHistory h;
    h.owe(ExchangeKind::Write, kCtrl, 1000);
    h.settle_owed(ExchangeKind::Write, kCtrl);
    const std::uint64_t later = 1000 + kOwedKeptUs + 1;
    EXPECT_EQ(h.stray(ExchangeKind::Write, true, kCtrl, kZero, later).kind, StrayKind::Other);
}

TEST(ReplyHistory, CopyOfAReadTakenJustBeforeIsADuplicate) {
    ReplyHistory h;
    h.taken(ExchangeKind::Read, kCtrl, kWordA, 1000);
    EXPECT_FALSE(h.copy_possible(kCtrl, kWordA, 1010));  // no duplicate seen, nothing owed
    EXPECT_EQ(h.stray(ExchangeKind::Read, true, kCtrl, kWordA, 1200).kind, StrayKind::Duplicate);
    EXPECT_TRUE(h.copy_possible(kCtrl, kWordA, 1300));
    EXPECT_FALSE(h.copy_possible(kCtrl, kZero, 1300));
}

}  // namespace
}  // namespace kestrel
