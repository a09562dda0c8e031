// A copy of an earlier acknowledgement that stands in for a lost request leaves no sign at the
// link. A page read then takes a receive phase that never happened: on a link that has shown
// duplicates, a chunk that reads as one a copy could give is read again and kept only once two
// reads agree. A device that only answers slowly costs nothing extra, erased pages included.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include "flash/core/page_io.h"
#include "flash/core/spi_flash.h"
#include "link/transport.h"
#include "support/capture.h"
#include "support/raw_peer.h"
#include "support/wait_floor.h"

namespace kestrel::test {
namespace {

using namespace std::chrono_literals;

bool is_write_to(const Bytes& r, std::uint8_t low) {
    return r.size() == 18 && r[0] == 0x00 && r[2] == 0x00 && r[3] == low;
}

// A scripted device whose SPI master reads pages that all hold `page`: B0 48 (or F0 48) opens
// one at the chunk SPI_CMD's address names, 10 08 and 50 08 move to the next chunk, and a read of
// SPI_CTRL gives the chunk's 8 bytes. The phases named in `stuck` (counted from 1 over the whole
// run) are acknowledged but do nothing, and the SPI_CTRL reads named in `stale` are answered with
// the last SPI_CTRL reply again: a lost request, answered by a copy of the reply before. The
// phases named in `doubled` move two chunks: a request the device took twice whose second
// acknowledgement was lost. Its first reply comes twice, so the link has shown a stray, unless
// the test says not.
class ScriptedReader {
  public:
    ScriptedReader(std::array<std::uint8_t, 256> page, std::set<int> stuck, bool copy_first,
                   std::set<int> stale = {}, std::set<int> doubled = {})
        : page_(page),
          stuck_(std::move(stuck)),
          stale_(std::move(stale)),
          doubled_(std::move(doubled)),
          copy_first_(copy_first) {}

    RawPeer::Answer operator()(const Bytes& req, int index) {
        std::lock_guard<std::mutex> guard(mutex_);
        RawPeer::Answer a = answer(ack_for(req));
        if (is_write_to(req, 0x10) && req[4] == 0x03) open_at_ = req[7] / 8;
        if (req[0] == 0x80 && req[2] == 0x00 && req[3] == 0x08) {
            const int read_in_pass = ++reads_since_open_;
            if (silence_second_ && (read_in_pass == 2 || read_in_pass == 3)) return silence();
            if (stale_.count(++reads_) == 0)
                last_ = Bytes(page_.begin() + chunk_ * 8, page_.begin() + chunk_ * 8 + 8);
            a = answer(ack_for(req, last_));
            if (opens_ == 1 && chunk_ == 4 && went_silent_ < 2 && silent_first_) {
                ++went_silent_;  // it and its repeat: its reply comes late, below, twice
                return silence();
            }
            if (opens_ == late_open_ && chunk_ == 10)
                a = answer(ack_for(req, Bytes(page_.begin() + 32, page_.begin() + 40)));
        } else if (is_write_to(req, 0x08)) {
            const bool start = req[4] == 0xB0 || req[4] == 0xF0;
            if (stuck_.count(++phases_) == 0) chunk_ = start ? open_at_ : std::min(chunk_ + 1, 31);
            if (doubled_.count(phases_) > 0) chunk_ = std::min(chunk_ + 1, 31);
            opens_ += start ? 1 : 0;
            if (start) reads_since_open_ = 0;
        }
        if (copy_first_ && index == 0) a.then_extra = a.reply;
        return a;
    }
    // The first transaction's first read of chunk 4 and that read asked again get no reply; in
    // transaction `open`, every read of chunk 10 is answered with chunk 4's bytes, as that
    // reply, come late and twice.
    void silence_first_read_of_chunk_4() {
        std::lock_guard<std::mutex> guard(mutex_);
        silent_first_ = true;
    }
    void late_reply_twice_in(int open) {
        std::lock_guard<std::mutex> guard(mutex_);
        late_open_ = open;
    }
    // The second read of SPI_CTRL after each opening phase, and that read asked again (the
    // third), get no reply.
    void silence_second_read_of_each_pass() {
        std::lock_guard<std::mutex> guard(mutex_);
        silence_second_ = true;
    }
    int opens() {
        std::lock_guard<std::mutex> guard(mutex_);
        return opens_;
    }

  private:
    std::mutex mutex_;
    std::array<std::uint8_t, 256> page_;
    std::set<int> stuck_;
    std::set<int> stale_;
    std::set<int> doubled_;
    bool copy_first_;
    Bytes last_ = Bytes(8, 0);
    int chunk_ = 0;
    int open_at_ = 0;  // the chunk the Read Data address in SPI_CMD names
    int phases_ = 0;
    int reads_ = 0;
    bool silent_first_ = false;
    int went_silent_ = 0;
    int late_open_ = -1;
    bool silence_second_ = false;
    int reads_since_open_ = 0;
    int opens_ = 0;
};

std::array<std::uint8_t, 256> distinct_chunks() {
    std::array<std::uint8_t, 256> p{};
    for (std::size_t i = 0; i < p.size(); ++i)
        p[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return p;
}

std::array<std::uint8_t, 256> erased_page() {
    std::array<std::uint8_t, 256> p{};
    p.fill(0xFF);
    return p;
}

// Opens the link to peer and reads another register until the link knows the device's round
// trips; the copy of the first reply shows on the way.
bool open_learnt(RawPeer& peer) {
    if (!open_link("127.0.0.1", peer.port())) return false;
    RegisterWord w{};
    read_reg(0x4000, w);
    (void)peer.wait_sent(2, 20ms);  // the copy, where the peer sends one
    for (int i = 0; i < 12; ++i)
        read_reg(0x4000, w);
    return true;
}

// A read the link found faulty (a slow moment of a loaded machine can make one) is read again
// too, so the counts of reads are lower bounds; what is pinned is the bytes kept.
class CopyStandIn : public ::testing::Test {
  protected:
    void TearDown() override { close_link(); }
    int compared() {
        int n = 0;
        for (const auto& line : traces_.lines())
            n += line.find("reading them again to compare") != std::string::npos;
        return n;
    }
    std::array<std::uint8_t, 256> read_{};
    TraceCapture traces_;
};

TEST_F(CopyStandIn, PageReadWithAPhaseThatNeverHappenedIsReadAgainAndKeptOnlyRight) {
    const auto page = distinct_chunks();
    ScriptedReader reader(page, {6}, true);
    RawPeer peer(std::ref(reader));
    ASSERT_TRUE(open_learnt(peer));
    ASSERT_TRUE(read_page_checked(0x000100, read_));
    EXPECT_EQ(read_, page);
    EXPECT_GE(reader.opens(), 2);
}

// A link so poor that every pass is cut short after one chunk: the read goes on while its
// passes still prove chunks, beyond the passes in a row that may prove none.
TEST_F(CopyStandIn, PageWhosePassesAreAllCutShortEndsWhileEachProvesAChunk) {
    const auto page = distinct_chunks();
    ScriptedReader reader(page, {}, false);
    RawPeer peer(std::ref(reader));
    ASSERT_TRUE(open_learnt(peer));
    reader.silence_second_read_of_each_pass();
    ASSERT_TRUE(read_page_checked(0x000100, read_));
    EXPECT_EQ(read_, page);
    EXPECT_GT(reader.opens(), kPageReadTries);
}

TEST_F(CopyStandIn, FirstChunkAnsweredWithTheLastPagesLastChunkIsReadAgainAfterOtherReads) {
    const auto page = distinct_chunks();
    ScriptedReader reader(page, {}, true, {33});  // the second page's first chunk
    RawPeer peer(std::ref(reader));
    ASSERT_TRUE(open_learnt(peer));
    ASSERT_TRUE(read_page_checked(0x000100, read_));
    RegisterWord other{};
    ASSERT_TRUE(read_reg(0x4000, other));  // another register read in between
    ASSERT_TRUE(read_page_checked(0x000200, read_));
    EXPECT_EQ(read_, page);
    EXPECT_GE(reader.opens(), 3);
}

TEST_F(CopyStandIn, LateReplyThatComesTwiceIsNotTakenForTheChunkAndItsCheck) {
    const auto page = distinct_chunks();
    ScriptedReader reader(page, {}, true);
    reader.silence_first_read_of_chunk_4();
    RawPeer peer(std::ref(reader));
    ASSERT_TRUE(open_learnt(peer));
    ASSERT_TRUE(read_page_checked(0x000100, read_));
    EXPECT_EQ(read_, page);
    const int before = reader.opens();
    reader.late_reply_twice_in(before + 1);  // the second page's first read
    ASSERT_TRUE(read_page_checked(0x000200, read_));
    EXPECT_EQ(read_, page);
    EXPECT_GE(reader.opens(), before + 3);
}

TEST_F(CopyStandIn, PageThatHoldsAChunkTwiceStandsOnceTwoReadsAgree) {
    auto page = distinct_chunks();
    std::copy_n(page.begin() + 24, 8, page.begin() + 32);  // chunk 4 repeats chunk 3
    ScriptedReader reader(page, {}, true);
    RawPeer peer(std::ref(reader));
    ASSERT_TRUE(open_learnt(peer));
    ASSERT_TRUE(read_page_checked(0x000100, read_));
    EXPECT_EQ(read_, page);
    EXPECT_GE(reader.opens(), 2);
    EXPECT_GE(compared(), 1);
}

TEST_F(CopyStandIn, ReadsThatDisagreeAtTheirRepeatsGoOnUntilTwoAgree) {
    const auto page = distinct_chunks();
    // The first read loses phase 6, the second phase 40 (its 8th): two unproven reads that
    // differ, then a clean one.
    ScriptedReader reader(page, {6, 40}, true);
    RawPeer peer(std::ref(reader));
    ASSERT_TRUE(open_learnt(peer));
    ASSERT_TRUE(read_page_checked(0x000100, read_));
    EXPECT_EQ(read_, page);
    EXPECT_GE(reader.opens(), 3);
}

TEST_F(CopyStandIn, RepeatedChunkOnALinkThatNeverShowedAStrayIsReadOnce) {
    auto page = distinct_chunks();
    std::copy_n(page.begin() + 24, 8, page.begin() + 32);
    ScriptedReader reader(page, {}, false);
    RawPeer peer(std::ref(reader));
    ASSERT_TRUE(open_link("127.0.0.1", peer.port()));
    RegisterWord w{};
    for (int i = 0; i < 12; ++i)
        ASSERT_TRUE(read_reg(0x4000, w));
    const std::size_t before = peer.received().size();
    ASSERT_TRUE(read_page_checked(0x000100, read_));
    EXPECT_EQ(read_, page);
    EXPECT_EQ(compared(), 0);
    EXPECT_EQ(reader.opens(), 1);
    EXPECT_EQ(peer.received().size() - before, 65u + 1u);  // the page and its probe
}

// A receive phase taken twice whose second acknowledgement was lost moves every later chunk by
// one and shows nothing. On a link that has shown a duplicate the page stands only once a
// second read agrees from the chunk before the last one that differs from its neighbour: a move
// anywhere before shows there, and one after it can only hide in the run read again.
TEST_F(CopyStandIn, PhaseTakenTwiceUnseenIsCaughtByTheReadFromTheLastChange) {
    const auto page = distinct_chunks();
    ScriptedReader reader(page, {}, true, {}, {6});
    RawPeer peer(std::ref(reader));
    ASSERT_TRUE(open_learnt(peer));
    ASSERT_TRUE(read_page_checked(0x000100, read_));
    EXPECT_EQ(read_, page);
    EXPECT_GE(reader.opens(), 3);  // the read, chunks 30 and 31 again (they differ), the page
}

// The same in a page read in two passes, the move in the pass a fault cut short or in the pass
// that went on from the fault: the page kept is the flash's.
TEST_F(CopyStandIn, PhaseTakenTwiceUnseenBeforeAFaultIsCaughtByTheSecondRead) {
    const auto page = distinct_chunks();
    ScriptedReader reader(page, {}, true, {}, {3});
    reader.silence_first_read_of_chunk_4();
    RawPeer peer(std::ref(reader));
    ASSERT_TRUE(open_learnt(peer));
    ASSERT_TRUE(read_page_checked(0x000100, read_));
    EXPECT_EQ(read_, page);
}

TEST_F(CopyStandIn, PhaseTakenTwiceUnseenAfterAFaultIsCaughtByTheSecondRead) {
    const auto page = distinct_chunks();
    ScriptedReader reader(page, {}, true, {}, {12});
    reader.silence_first_read_of_chunk_4();
    RawPeer peer(std::ref(reader));
    ASSERT_TRUE(open_learnt(peer));
    ASSERT_TRUE(read_page_checked(0x000100, read_));
    EXPECT_EQ(read_, page);
}

TEST_F(CopyStandIn, PhaseTakenTwiceInAUniformTailIsCaughtWhereTheTailBegins) {
    auto page = distinct_chunks();
    for (std::size_t c = 20; c < 32; ++c)
        std::fill_n(page.begin() + static_cast<std::ptrdiff_t>(c * 8), 8, 0xFF);
    page[26 * 8] = 0x00;  // one chunk in the tail differs: the doubled phase skips it
    ScriptedReader reader(page, {}, true, {}, {27});
    RawPeer peer(std::ref(reader));
    ASSERT_TRUE(open_learnt(peer));
    ASSERT_TRUE(read_page_checked(0x000100, read_));
    EXPECT_EQ(read_, page);
}

TEST_F(CopyStandIn, DistinctPageOnALinkThatShowedACopyIsConfirmedByItsLastChunk) {
    const auto page = distinct_chunks();
    ScriptedReader reader(page, {}, true);
    RawPeer peer(std::ref(reader));
    ASSERT_TRUE(open_learnt(peer));
    const std::size_t before = peer.received().size();
    ASSERT_TRUE(read_page_checked(0x000100, read_));
    EXPECT_EQ(read_, page);
    EXPECT_EQ(reader.opens(), 2);
    // The page and its probe, then Read Data at chunk 30, two phases, two reads and a probe.
    EXPECT_EQ(peer.received().size() - before, 66u + 6u);
}

// The read-back of a page just programmed knows the bytes it expects. On a link that has shown a
// copy, a first read that gives exactly them stands: a move would have to rebuild the very
// bytes expected. One that differs (here a phase taken twice unseen) is confirmed as
// any other page, and the page kept is the flash's; so is an erased page, which a transaction
// that never started reads alike.
TEST_F(CopyStandIn, ExpectedPageReadAsExpectedNeedsNoSecondRead) {
    const auto page = distinct_chunks();
    ScriptedReader reader(page, {}, true);
    RawPeer peer(std::ref(reader));
    ASSERT_TRUE(open_learnt(peer));
    ASSERT_TRUE(link_may_make_copies());
    const std::size_t before = peer.received().size();
    ASSERT_TRUE(read_page_expecting(0x000100, read_, page));
    EXPECT_EQ(read_, page);
    EXPECT_EQ(reader.opens(), 1);
    EXPECT_EQ(peer.received().size() - before, 65u + 1u);  // the page and its probe
}

TEST_F(CopyStandIn, ExpectedPageReadOtherwiseIsConfirmedAsAnyOther) {
    const auto page = distinct_chunks();
    ScriptedReader moved(page, {}, true, {}, {6});
    RawPeer peer(std::ref(moved));
    ASSERT_TRUE(open_learnt(peer));
    ASSERT_TRUE(read_page_expecting(0x000100, read_, page));
    EXPECT_EQ(read_, page);
    EXPECT_GE(moved.opens(), 3);
    close_link();

    const auto erased = erased_page();
    ScriptedReader blank(erased, {}, true);
    RawPeer blank_peer(std::ref(blank));
    ASSERT_TRUE(open_learnt(blank_peer));
    ASSERT_TRUE(read_page_checked(0x000000, read_));
    const int before = blank.opens();
    ASSERT_TRUE(read_page_expecting(0x000100, read_, erased));
    EXPECT_EQ(read_, erased);
    EXPECT_EQ(blank.opens() - before, 2);
}

// A page read in two passes on a link that has shown a copy: the second read covers, for each
// pass, the chunks where a move in it would show, in a transaction of their own. Here chunks 3
// and 4 (the first pass ended at 3, its last chunk that differs from the next) and 30 and 31,
// not all of 3 to 31.
TEST_F(CopyStandIn, SecondReadAfterAFaultCoversOnlyWhereEachPassWouldShowAMove) {
    const auto page = distinct_chunks();
    ScriptedReader reader(page, {}, true);
    reader.silence_first_read_of_chunk_4();
    RawPeer peer(std::ref(reader));
    ASSERT_TRUE(open_learnt(peer));
    const std::size_t before = peer.received().size();
    ASSERT_TRUE(read_page_checked(0x000100, read_));
    EXPECT_EQ(read_, page);
    EXPECT_EQ(reader.opens(), 4);
    // Read Data and chunks 0..4 until chunk 4's read, asked twice, goes unanswered, the end
    // phase and its read; Read Data, chunks 4..31 and a probe; then twice Read Data, two chunks
    // and a probe.
    EXPECT_EQ(peer.received().size() - before, (1u + 11u + 2u) + (1u + 56u + 1u) + 2 * 6u);
}

// On a link that has shown a duplicate every erased chunk reads as a copy could: the page
// stands on two reads that agree, and a third, separate read confirms it by agreeing with them
// (it needs no second read of its own).
TEST_F(CopyStandIn, ErasedPageOnALinkThatShowedACopyStandsOnAgreeingReads) {
    const auto erased = erased_page();
    ScriptedReader reader(erased, {}, true);
    RawPeer peer(std::ref(reader));
    ASSERT_TRUE(open_learnt(peer));
    ASSERT_TRUE(read_page_checked(0x000100, read_));
    EXPECT_EQ(read_, erased);
    EXPECT_EQ(reader.opens(), 3);
}

// Once a page has been read, every chunk of the next erased page reads as a copy could, its
// first included: two separate reads that agree on every chunk prove it. A third read would only
// guard against both reads going wrong alike, which takes a fault compound in each.
TEST_F(CopyStandIn, ErasedPageReadTwiceAlikeNeedsNoThirdRead) {
    const auto erased = erased_page();
    ScriptedReader reader(erased, {}, true);
    RawPeer peer(std::ref(reader));
    ASSERT_TRUE(open_learnt(peer));
    ASSERT_TRUE(read_page_checked(0x000000, read_));
    const int before = reader.opens();
    ASSERT_TRUE(read_page_checked(0x000100, read_));
    EXPECT_EQ(read_, erased);
    EXPECT_EQ(reader.opens() - before, 2);
}

// The device answers every request 300 us late and every seventh 1.5 ms late, as a busy
// machine or a slow device does, over erased pages: no reply is in doubt for its timing, so
// each page costs its 65 exchanges and one probe, as on a fast link.
TEST_F(CopyStandIn, SlowButCorrectDeviceCostsNoExtraExchangeOnErasedPages) {
    const auto erased = erased_page();
    ScriptedReader reader(erased, {}, false);
    RawPeer peer([&reader](const Bytes& req, int index) {
        RawPeer::Answer a = reader(req, index);
        a.delay = std::chrono::duration_cast<std::chrono::milliseconds>(index % 7 == 0 ? 2ms : 0ms);
        return a;
    });
    ASSERT_TRUE(open_link("127.0.0.1", peer.port()));
    RegisterWord w{};
    for (int i = 0; i < 12; ++i)
        ASSERT_TRUE(read_reg(0x4000, w));
    const std::size_t before = peer.received().size();
    for (std::uint32_t page = 0; page < 4; ++page) {
        ASSERT_TRUE(read_page_checked(page * 256, read_));
        EXPECT_EQ(read_, erased);
    }
    EXPECT_EQ(peer.received().size() - before, 4u * 66u);
    EXPECT_EQ(compared(), 0);
}

// One SPI_CTRL read of an erased page is answered 10 ms late, past its wait, as a stalled host
// or device can, on a link that has shown no duplicate. The late reply comes right behind the
// read before it and repeats its word, yet it is the late read's own: once it came, the pages
// after cost their 66 exchanges each, not a second read apiece while it would have been owed.
TEST_F(CopyStandIn, LateReplyOnAnErasedPageLeavesNoDoubtOnceItCame) {
    const auto erased = erased_page();
    ScriptedReader reader(erased, {}, false);
    std::atomic<int> ctrl_reads{0};
    RawPeer peer([&](const Bytes& req, int index) {
        RawPeer::Answer a = reader(req, index);
        const bool ctrl_read = req[0] == 0x80 && req[2] == 0x00 && req[3] == 0x08;
        if (ctrl_read && ++ctrl_reads == 5) a.delay = 10ms;
        return a;
    });
    const ReplyWaitFloor floor(kMinWaitUs);  // the program's: 10 ms is past the wait
    ASSERT_TRUE(open_learnt(peer));
    ASSERT_TRUE(read_page_checked(0x000000, read_));
    EXPECT_EQ(read_, erased);
    ASSERT_TRUE(read_page_checked(0x000100, read_));
    EXPECT_EQ(read_, erased);
    ASSERT_FALSE(link_may_make_copies());
    const std::size_t before = peer.received().size();
    for (std::uint32_t page = 2; page < 6; ++page) {
        ASSERT_TRUE(read_page_checked(page * 256, read_));
        EXPECT_EQ(read_, erased);
    }
    EXPECT_EQ(peer.received().size() - before, 4u * 66u);
}

// Every load's eleventh SPI_PP_DATA is acknowledged 1 ms late, on a link that has shown a
// duplicate; SPI_CTRL always reads zeros (the chip ready, the page read back as zeros). A slow
// acknowledgement is no fault: one load, its tail, and the check of its last chunks.
TEST_F(CopyStandIn, SlowAcknowledgementInALoadCostsNoSecondLoad) {
    std::atomic<int> data_words{0};
    RawPeer peer([&data_words](const Bytes& req, int index) {
        RawPeer::Answer a = answer(ack_for(req));
        if (index == 0) a.then_extra = ack_for(req);
        if (is_write_to(req, 0x18)) data_words = 0;
        if (is_write_to(req, 0x20) && ++data_words == 11) a.delay = 1ms;
        return a;
    });
    ASSERT_TRUE(open_learnt(peer));
    const std::array<std::uint8_t, 256> zeros{};
    EXPECT_EQ(program_page_checked(0x000100, zeros), PageProgram::Done);
    int heads = 0, tails = 0;
    for (const auto& r : peer.received()) {
        heads += is_write_to(r.bytes, 0x18);
        tails += is_write_to(r.bytes, 0x28);
    }
    EXPECT_EQ(heads, 1);
    EXPECT_EQ(tails, 1);
}

}  // namespace
}  // namespace kestrel::test
