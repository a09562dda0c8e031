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

RegisterWord word(std::uint8_t b) {
    return RegisterWord{b, b, b, b, b, b, b, b};
}

// A page read times out at a chunk, closes the transaction (reading the next chunk), and reads
// the chunk again: the late reply can hold the chunk before or the chunk itself, and only a
// stray holding one of them pays the debt. A reply of a duplicated request holds a value the
// read never saw: it settles nothing.
TEST(ReplyHistory, ReadDebtIsPaidOnlyByAReplyWithAWordTheReadCouldHold) {
    ReplyHistory h;
    h.taken(ExchangeKind::Read, kCtrl, word(0x0A), 1000);  // chunk k-1
    h.owe(ExchangeKind::Read, kCtrl, 1010);                // chunk k: no reply
    h.taken(ExchangeKind::Read, kCtrl, word(0x0C), 5100);  // closing: chunk k+1
    h.taken(ExchangeKind::Read, kCtrl, word(0x0B), 5200);  // chunk k again
    h.taken(ExchangeKind::Read, kCtrl, word(0x0C), 5300);  // chunk k+1 again
    EXPECT_TRUE(h.copy_possible(kCtrl, word(0x0A), 9000));
    EXPECT_TRUE(h.copy_possible(kCtrl, word(0x0B), 9000));
    // Later chunks were never what the owed read could hold.
    h.taken(ExchangeKind::Read, kCtrl, word(0x0D), 9100);
    EXPECT_FALSE(h.copy_possible(kCtrl, word(0x0D), 20000));
    EXPECT_EQ(h.stray(ExchangeKind::Read, true, kCtrl, word(0x0E), 20000).kind, StrayKind::Other);
    EXPECT_TRUE(h.owes(ExchangeKind::Read, kCtrl, 20100));
    EXPECT_EQ(h.stray(ExchangeKind::Read, true, kCtrl, word(0x0B), 30000).kind, StrayKind::Late);
    EXPECT_FALSE(h.owes(ExchangeKind::Read, kCtrl, 30100));
    EXPECT_FALSE(h.copy_possible(kCtrl, word(0x0B), 30100 + kCopyWindowUs));
}

// The late reply often comes at once, before the chunk is read again: it is held against the
// debt until the witnesses are in, then found to be the late reply (or not).
TEST(ReplyHistory, StrayBeforeTheWitnessesIsJudgedOnceTheyAreIn) {
    ReplyHistory paid;
    paid.owe(ExchangeKind::Read, kCtrl, 1000);
    EXPECT_EQ(paid.stray(ExchangeKind::Read, true, kCtrl, word(0x0B), 5000).kind, StrayKind::Late);
    for (std::uint8_t b : {0x0C, 0x0B, 0x0C})
        paid.taken(ExchangeKind::Read, kCtrl, word(b), 6000);
    EXPECT_FALSE(paid.owes(ExchangeKind::Read, kCtrl, 6100));
    EXPECT_FALSE(paid.duplicates_seen(6100));

    ReplyHistory unpaid;
    unpaid.owe(ExchangeKind::Read, kCtrl, 1000);
    EXPECT_EQ(unpaid.stray(ExchangeKind::Read, true, kCtrl, word(0x0E), 5000).kind,
              StrayKind::Late);
    EXPECT_TRUE(unpaid.copy_possible(kCtrl, word(0x0E), 5100));
    for (std::uint8_t b : {0x0C, 0x0B, 0x0C})
        unpaid.taken(ExchangeKind::Read, kCtrl, word(b), 6000);
    EXPECT_TRUE(unpaid.owes(ExchangeKind::Read, kCtrl, 6100));
    EXPECT_TRUE(unpaid.duplicates_seen(6100));
    EXPECT_TRUE(unpaid.copy_possible(kCtrl, word(0x0B), 6100 + kCopyWindowUs));
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
