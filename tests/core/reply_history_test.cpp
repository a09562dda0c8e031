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

// A write's acknowledgement comes after its wait; the next write of the register takes it in
// doubt (settling the debt), and its own comes right behind: that is the late one's exchange,
// not a copy. Right behind an acknowledgement taken with nothing owed, it is a copy.
TEST(ReplyHistory, AcknowledgementBehindOneTakenForALateOneIsItsOwnNotACopy) {
    ReplyHistory h;
    h.owe(ExchangeKind::Write, kCtrl, 1000);
    h.settle_owed(ExchangeKind::Write, kCtrl);
    h.taken(ExchangeKind::Write, kCtrl, kZero, 1100, {}, Doubt::Owed);
    EXPECT_EQ(h.stray(ExchangeKind::Write, true, kCtrl, kZero, 1150).kind, StrayKind::Late);
    EXPECT_FALSE(h.may_make_copies(1200));

    ReplyHistory plain;
    plain.taken(ExchangeKind::Write, kCtrl, kZero, 1100);
    EXPECT_EQ(plain.stray(ExchangeKind::Write, true, kCtrl, kZero, 1150).kind,
              StrayKind::Duplicate);
    EXPECT_TRUE(plain.may_make_copies(1200));
}

// A write times out on a busy host and its acknowledgement comes while a read is under way,
// right behind the acknowledgement of the write before it. On a link that has shown no copy it
// is the late one: it pays the debt and the link is not taken to make copies. Where copies
// have been seen, it may as well be one, and they are still expected.
TEST(ReplyHistory, LateAcknowledgementRightBehindAnotherIsACopyOnlyOnALinkWithCopies) {
    ReplyHistory h;
    h.taken(ExchangeKind::Write, kCtrl, kZero, 1000);
    h.owe(ExchangeKind::Write, kCtrl, 1100);
    const StraySort late = h.stray(ExchangeKind::Write, true, kCtrl, kZero, 2500);
    EXPECT_EQ(late.kind, StrayKind::Late);
    EXPECT_EQ(late.owed_since_us, 1100u);
    EXPECT_FALSE(h.owes(ExchangeKind::Write, kCtrl, 2600));
    EXPECT_FALSE(h.may_make_copies(2600));

    ReplyHistory copies;
    copies.duplicate_seen(500);
    copies.taken(ExchangeKind::Write, kCtrl, kZero, 1000);
    copies.owe(ExchangeKind::Write, kCtrl, 1100);
    EXPECT_EQ(copies.stray(ExchangeKind::Write, true, kCtrl, kZero, 2500).kind, StrayKind::Late);
    EXPECT_TRUE(copies.may_make_copies(kDuplicatesRememberedUs + 1000));
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

// The pass goes on from at_us: as many exchanges as a copy of an earlier reply would show within.
void pass_goes_on(ReplyHistory& h, std::uint64_t at_us) {
    for (std::uint64_t i = 0; i < kCopyExchanges; ++i)
        h.taken(ExchangeKind::Write, kCtrl, kZero, at_us + i);
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

// A stray around a read (the late reply of a probe of another register, say) makes the reply
// taken another's only where another reply of its register could come: while a read of it is
// owed, or on a link that makes copies. Else the read owes nothing, and later reads of its word
// stay free of doubt.
TEST(ReplyHistory, ReadTakenAroundAStrayOwesItsReplyOnlyWhereAnotherCouldCome) {
    ReplyHistory alone;
    alone.taken(ExchangeKind::Read, kCtrl, word(0x00), 1000, {}, Doubt::Stray);
    EXPECT_FALSE(alone.owes(ExchangeKind::Read, kCtrl, 1100));
    EXPECT_FALSE(alone.copy_possible(kCtrl, word(0x00), 1100 + kCopyWindowUs));

    ReplyHistory owing;
    owing.owe(ExchangeKind::Read, kCtrl, 500);
    owing.taken(ExchangeKind::Read, kCtrl, word(0x00), 1000, {}, Doubt::Stray);
    EXPECT_TRUE(owing.owes(ExchangeKind::Read, kCtrl, 1100));

    ReplyHistory copying;
    copying.duplicate_seen(900);
    copying.taken(ExchangeKind::Read, kCtrl, word(0x00), 1000, {}, Doubt::Stray);
    EXPECT_TRUE(copying.owes(ExchangeKind::Read, kCtrl, 1100));
}

constexpr ReadKeys key(std::uint32_t chunk) {
    return {0x1000 + chunk * 8 + 1, 0};
}

// A read of a known chunk that timed out: until that chunk is read again its late reply may
// hold bytes not seen yet, so every other read of the register is in doubt. Once it is read
// again, only the words it can hold are (a pass that reopens before the chunk witnesses
// nothing with its earlier chunks).
TEST(ReplyHistory, KeyedReadDebtDoubtsEveryReadUntilItsOwnChunkIsReadAgain) {
    ReplyHistory h;
    h.taken(ExchangeKind::Read, kCtrl, word(0x0A), 1000, key(4));
    h.owe(ExchangeKind::Read, kCtrl, 1010, key(5));
    for (std::uint8_t c = 1; c < 5; ++c) {
        EXPECT_TRUE(h.copy_possible(kCtrl, word(c), 2000, key(c))) << int{c};
        h.taken(ExchangeKind::Read, kCtrl, word(c), 2000, key(c));
    }
    EXPECT_FALSE(h.copy_possible(kCtrl, word(0x0B), 3000, key(5)));  // its own bytes
    h.taken(ExchangeKind::Read, kCtrl, word(0x0B), 3000, key(5));
    EXPECT_FALSE(h.copy_possible(kCtrl, word(0x0C), 3100, key(6)));
    EXPECT_TRUE(h.copy_possible(kCtrl, word(0x0B), 3100, key(9)));
    EXPECT_TRUE(h.copy_possible(kCtrl, word(0x0A), 3100, key(9)));  // the word before it
    // Right after the witness the same word may be its copy: on a link that has shown copies
    // it pays nothing (nor shows a copy: it may as well be the late reply).
    h.duplicate_seen(3150);
    EXPECT_EQ(h.stray(ExchangeKind::Read, true, kCtrl, word(0x0B), 3200).kind, StrayKind::Late);
    EXPECT_TRUE(h.owes(ExchangeKind::Read, kCtrl, 3300));
    pass_goes_on(h, 3400);
    const std::uint64_t later = 3000 + kCopyWindowUs + 100;
    EXPECT_EQ(h.stray(ExchangeKind::Read, true, kCtrl, word(0x0B), later).kind, StrayKind::Late);
    EXPECT_FALSE(h.owes(ExchangeKind::Read, kCtrl, later + 100));
}

// The closing read after a fault holds the failed chunk or the next: both are witnessed.
TEST(ReplyHistory, ReadOfEitherOfTwoChunksIsWitnessedByBoth) {
    ReplyHistory h;
    h.owe(ExchangeKind::Read, kCtrl, 1000, {key(5).first, key(6).first});
    h.taken(ExchangeKind::Read, kCtrl, word(0x0B), 2000, key(5));
    EXPECT_TRUE(h.copy_possible(kCtrl, word(0x0D), 2100, key(7)));  // chunk 6 not read yet
    h.taken(ExchangeKind::Read, kCtrl, word(0x0C), 2200, key(6));
    EXPECT_FALSE(h.copy_possible(kCtrl, word(0x0D), 2300, key(7)));
    EXPECT_TRUE(h.copy_possible(kCtrl, word(0x0C), 2300, key(7)));
}

// A read taken in doubt may have taken another read's late reply (here, on a link that has
// shown a copy); its own then comes later and must not pass for a third read's. It is owed,
// but only its content is doubted: the reads around it are not.
TEST(ReplyHistory, ReadTakenInDoubtOwesItsOwnReplyWithoutDoubtingOthers) {
    ReplyHistory h;
    h.duplicate_seen(1);
    h.taken(ExchangeKind::Read, kCtrl, word(0x0A), 1000, key(4));
    h.taken(ExchangeKind::Read, kCtrl, word(0x0E), 1100, key(5), Doubt::Stray);
    EXPECT_TRUE(h.owes(ExchangeKind::Read, kCtrl, 1200));
    EXPECT_FALSE(h.copy_possible(kCtrl, word(0x0C), 1200, key(6)));
    h.taken(ExchangeKind::Read, kCtrl, word(0x0B), 1300, key(5));  // chunk 5 read again
    EXPECT_TRUE(h.copy_possible(kCtrl, word(0x0B), 1400, key(7)));
    pass_goes_on(h, 1500);
    const std::uint64_t later = 1300 + kCopyWindowUs + 100;
    EXPECT_EQ(h.stray(ExchangeKind::Read, true, kCtrl, word(0x0B), later).kind, StrayKind::Late);
    EXPECT_FALSE(h.owes(ExchangeKind::Read, kCtrl, later + 100));
}

// A copy of the witness's reply holds what the late reply will: taken as the late one it would
// pay the debt, and the late one would stand in unseen. On a busy host it may be handled long
// after kCopyWindowUs, yet still within the next exchange. It is as likely the late reply
// itself (a slow host, nothing copied): the link is not taken to make copies for it.
TEST(ReplyHistory, CopyOfTheWitnessHandledLateOnABusyHostPaysNoDebtOnALinkWithCopies) {
    ReplyHistory h;
    h.duplicate_seen(500);
    h.taken(ExchangeKind::Read, kCtrl, word(0x0A), 1000, key(4));
    h.owe(ExchangeKind::Read, kCtrl, 1100, key(5));                 // chunk 5 timed out
    h.taken(ExchangeKind::Read, kCtrl, word(0x0B), 60000, key(5));  // read again: the witness
    const std::uint64_t stalled = 60000 + 3 * kCopyWindowUs;
    EXPECT_EQ(h.stray(ExchangeKind::Read, true, kCtrl, word(0x0B), stalled).kind, StrayKind::Late);
    EXPECT_TRUE(h.owes(ExchangeKind::Read, kCtrl, stalled));
    EXPECT_TRUE(h.copy_possible(kCtrl, word(0x0B), stalled + 10, key(9)));
}

// On a link that has shown no copy, the word the witness took, come again, is the late reply a
// busy host was slow to see: it pays the debt, and an erased chip's reads of that word are in
// doubt no more.
TEST(ReplyHistory, WitnessWordComeAgainOnALinkWithoutCopiesPaysTheDebt) {
    ReplyHistory h;
    h.taken(ExchangeKind::Read, kCtrl, word(0xFF), 1000, key(4));
    h.owe(ExchangeKind::Read, kCtrl, 1100, key(5));
    h.taken(ExchangeKind::Read, kCtrl, word(0xFF), 6000, key(5));
    EXPECT_EQ(h.stray(ExchangeKind::Read, true, kCtrl, word(0xFF), 6100).kind, StrayKind::Late);
    EXPECT_FALSE(h.owes(ExchangeKind::Read, kCtrl, 6200));
    EXPECT_FALSE(h.copy_possible(kCtrl, word(0xFF), 6300, key(9)));
    EXPECT_FALSE(h.may_make_copies(6300));
}

// An erased chip: every read after a time-out holds the word the late reply can hold. Each may
// have taken it and owe its own, but only until that late reply is seen: then none is in doubt,
// however many reads were taken while it was on its way.
TEST(ReplyHistory, ReadsThatMayHaveTakenALateReplyOweNothingOnceItCame) {
    ReplyHistory h;
    h.taken(ExchangeKind::Read, kCtrl, word(0xFF), 1000, key(4));
    h.owe(ExchangeKind::Read, kCtrl, 1100, key(5));
    h.taken(ExchangeKind::Read, kCtrl, word(0xFF), 1200, key(5));  // the witness
    std::uint64_t t = 1300;
    for (std::uint8_t c = 6; c < 30; ++c, t += 100) {
        ASSERT_TRUE(h.copy_possible(kCtrl, word(0xFF), t, key(c))) << int{c};
        h.taken(ExchangeKind::Read, kCtrl, word(0xFF), t, key(c), Doubt::Copy);
    }
    pass_goes_on(h, t);
    EXPECT_EQ(h.stray(ExchangeKind::Read, true, kCtrl, word(0xFF), t + 100).kind, StrayKind::Late);
    EXPECT_FALSE(h.owes(ExchangeKind::Read, kCtrl, t + 200));
    EXPECT_FALSE(h.copy_possible(kCtrl, word(0xFF), t + 300, key(40)));
}

// The late reply came as a stray before its read was witnessed: the reads taken meanwhile, the
// witness among them, owe nothing once the witness shows the stray was that reply.
TEST(ReplyHistory, WitnessThatShowsTheStrayWasTheLateReplyLeavesNothingOwed) {
    ReplyHistory h;
    h.taken(ExchangeKind::Read, kCtrl, word(0xFF), 1000, key(4));
    h.owe(ExchangeKind::Read, kCtrl, 1100, key(5));
    EXPECT_EQ(h.stray(ExchangeKind::Read, true, kCtrl, word(0xFF), 9000).kind, StrayKind::Late);
    ASSERT_TRUE(h.copy_possible(kCtrl, word(0xFF), 9100, key(6)));
    h.taken(ExchangeKind::Read, kCtrl, word(0xFF), 9100, key(6), Doubt::Copy);
    ASSERT_TRUE(h.copy_possible(kCtrl, word(0xFF), 9200, key(5)));
    h.taken(ExchangeKind::Read, kCtrl, word(0xFF), 9200, key(5), Doubt::Copy);
    EXPECT_FALSE(h.owes(ExchangeKind::Read, kCtrl, 9300));
    EXPECT_FALSE(h.copy_possible(kCtrl, word(0xFF), 9400, key(7)));
}

// A chunk's read times out, and so does the read that was to witness it: the two strays that
// come are one late reply each, and the witness read after them leaves nothing owed.
TEST(ReplyHistory, TwoStraysForTwoReadsThatTimedOutPayOneDebtEach) {
    ReplyHistory h;
    h.taken(ExchangeKind::Read, kCtrl, word(0xFF), 1000, key(4));
    h.owe(ExchangeKind::Read, kCtrl, 1100, key(5));
    EXPECT_EQ(h.stray(ExchangeKind::Read, true, kCtrl, word(0xFF), 2000).kind, StrayKind::Late);
    h.owe(ExchangeKind::Read, kCtrl, 3000, key(5));
    EXPECT_EQ(h.stray(ExchangeKind::Read, true, kCtrl, word(0xFF), 4000).kind, StrayKind::Late);
    h.taken(ExchangeKind::Read, kCtrl, word(0xFF), 5000, key(5));
    EXPECT_FALSE(h.owes(ExchangeKind::Read, kCtrl, 5100));
    EXPECT_FALSE(h.may_make_copies(5100));
}

// While that late reply stays away, the reads that may have taken it are owed no longer than
// it is: the doubt does not renew itself read by read.
TEST(ReplyHistory, ReadsThatMayHaveTakenALateReplyAreOwedNoLongerThanIt) {
    ReplyHistory h;
    h.taken(ExchangeKind::Read, kCtrl, word(0xFF), 1000, key(4));
    h.owe(ExchangeKind::Read, kCtrl, 1100, key(5));
    h.taken(ExchangeKind::Read, kCtrl, word(0xFF), 1200, key(5));
    const std::uint64_t late = 1100 + kOwedKeptUs - 1000;
    ASSERT_TRUE(h.copy_possible(kCtrl, word(0xFF), late, key(6)));
    h.taken(ExchangeKind::Read, kCtrl, word(0xFF), late, key(6), Doubt::Copy);
    pass_goes_on(h, late + 100);
    EXPECT_FALSE(h.owes(ExchangeKind::Read, kCtrl, 1100 + kOwedKeptUs + 10));
    EXPECT_FALSE(h.copy_possible(kCtrl, word(0xFF), 1100 + kOwedKeptUs + 20, key(7)));
}

// The word a read just took, come again with no read owed that can hold it: a copy.
TEST(ReplyHistory, WordJustTakenWithNothingOwedIsACopy) {
    ReplyHistory h;
    h.taken(ExchangeKind::Read, kCtrl, word(0x0B), 60000, key(5));
    EXPECT_EQ(h.stray(ExchangeKind::Read, true, kCtrl, word(0x0B), 60100).kind,
              StrayKind::Duplicate);
    EXPECT_TRUE(h.may_make_copies(60200));
}

// A copy took the place of a read whose own reply was late; that reply, holding the chunk read
// then, later fits a read of another chunk whose reply was lost. On a link that has shown
// copies, a word another chunk's read took is in doubt while a late reply can still come; the
// same chunk read again is not, nor is anything once no late reply can be on its way.
TEST(ReplyHistory, WordOfAnotherChunkIsInDoubtWhileALateReplyCanComeOnALinkWithCopies) {
    ReplyHistory h;
    h.taken(ExchangeKind::Read, kCtrl, word(0x0B), 1000, key(24));
    pass_goes_on(h, 2000);
    EXPECT_FALSE(h.copy_possible(kCtrl, word(0x0B), 200000, key(15)));  // no copies seen
    h.duplicate_seen(100000);
    EXPECT_TRUE(h.copy_possible(kCtrl, word(0x0B), 200000, key(15)));
    EXPECT_FALSE(h.copy_possible(kCtrl, word(0x0B), 200000, key(24)));
    EXPECT_FALSE(h.copy_possible(kCtrl, word(0x0C), 200000, key(15)));
    EXPECT_FALSE(h.copy_possible(kCtrl, word(0x0B), 1000 + kOwedKeptUs + 1, key(15)));
}

// On a link with copies, a copy of a chunk's own reply holds its own bytes: reading the chunk
// again is not in doubt for giving them, nor is the chunk after a fault for giving what the
// read that closed the faulty pass took (it holds that chunk or the one before, and the one
// before is read first).
TEST(ReplyHistory, WordAChunksOwnReadTookIsNotInDoubtForThatChunk) {
    ReplyHistory h;
    h.duplicate_seen(500);
    h.taken(ExchangeKind::Read, kCtrl, word(0x13), 1000, key(19));
    EXPECT_FALSE(h.copy_possible(kCtrl, word(0x13), 1100, key(19)));
    EXPECT_TRUE(h.copy_possible(kCtrl, word(0x13), 1100, key(20)));
    h.taken(ExchangeKind::Read, kCtrl, word(0x14), 2000, {key(19).first, key(20).first});
    EXPECT_FALSE(h.copy_possible(kCtrl, word(0x14), 2100, key(20)));
    EXPECT_TRUE(h.copy_possible(kCtrl, word(0x14), 2100, key(19)));
}

// A read taken in doubt owes its own reply, which most likely holds what it took: even when
// what it asked for no other read shows, only reads giving that word are in doubt. A read whose
// bytes no read shows that timed out owes a reply that can hold anything; the first read reply
// that comes for it pays it.
TEST(ReplyHistory, DebtThatCanHoldAnythingLastsUntilAReplyComes) {
    ReplyHistory h;
    h.duplicate_seen(1);
    h.taken(ExchangeKind::Read, kCtrl, word(0xFF), 1000, kAnyContent, Doubt::Stray);
    EXPECT_TRUE(h.owes(ExchangeKind::Read, kCtrl, 1100));
    EXPECT_FALSE(h.copy_possible(kCtrl, word(0x01), 1200, key(1)));
    h.owe(ExchangeKind::Read, kCtrl, 2000, kAnyContent);
    EXPECT_TRUE(h.copy_possible(kCtrl, word(0x02), 2100, key(2)));
    pass_goes_on(h, 2200);
    EXPECT_EQ(h.stray(ExchangeKind::Read, true, kCtrl, word(0x33), 90000).kind, StrayKind::Late);
    EXPECT_FALSE(h.copy_possible(kCtrl, word(0x02), 90100, key(2)));
}

// Two reads of a chunk that disagree: the one that took another's reply owes its own, and only
// a read that gives what that reply can hold is in doubt.
TEST(ReplyHistory, ContradictedReadOwesItsReplyTellingItByContent) {
    ReplyHistory h;
    h.taken(ExchangeKind::Read, kCtrl, word(0x0A), 1000, key(4));
    const RegisterWord words[] = {word(0x0E), word(0x0B), word(0x0A)};
    h.owe_contradicted(kCtrl, words, 2000);
    EXPECT_TRUE(h.owes(ExchangeKind::Read, kCtrl, 2100));
    EXPECT_FALSE(h.copy_possible(kCtrl, word(0x0C), 2100, key(6)));
    EXPECT_TRUE(h.copy_possible(kCtrl, word(0x0B), 2200, key(8)));
    pass_goes_on(h, 3000);
    const StraySort late = h.stray(ExchangeKind::Read, true, kCtrl, word(0x0B), 9000);
    EXPECT_EQ(late.kind, StrayKind::Late);
    EXPECT_EQ(late.owed_since_us, 0u);  // owed since the contradiction, not since it was asked
    EXPECT_FALSE(h.owes(ExchangeKind::Read, kCtrl, 9100));
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
