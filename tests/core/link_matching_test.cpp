// Reply matching and resync of the register link against a scripted peer: stray, late,
// duplicated and unfitting datagrams never become the value of a read that reports success.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>

#include "link/mailbox.h"
#include "link/transport.h"
#include "platform/sleep.h"
#include "support/capture.h"
#include "support/raw_peer.h"
#include "support/register_word.h"

namespace kestrel::test {
namespace {

using namespace std::chrono_literals;

class LinkMatching : public ::testing::Test {
  protected:
    void open_to(RawPeer& peer) {
        ASSERT_TRUE(open_link("127.0.0.1", peer.port()));
        traces_.clear();
    }
    // A few clean reads, so the link learns that the device echoes and how long replies are.
    void learn() {
        RegisterWord w{};
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(read_reg(0x4000, w));
    }
    void TearDown() override { close_link(); }
    TraceCapture traces_;
};

TEST_F(LinkMatching, ReplyNamingAnotherRegisterIsDroppedAndTheRightOneTaken) {
    RawPeer peer([](const Bytes& req, int) {
        if (req[2] == 0x40 && req[3] == 0x08) {
            RawPeer::Answer a = answer(ack_for(Bytes{0x80, 0, 0x40, 0x00}, {0xAA, 0xAA}));
            a.then_extra = ack_for(req, {0x11, 0x22});
            return a;
        }
        return answer(ack_for(req));
    });
    open_to(peer);
    learn();
    const std::uint64_t dropped = link_stats().unfitting_dropped;
    LinkWatch watch;
    const ExchangeResult e = read_exchange(0x4008);
    EXPECT_EQ(e.word, word_of({0x11, 0x22}));  // its own reply, taken after the stray
    EXPECT_EQ(e.status, ExchangeStatus::Anomalous);
    EXPECT_EQ(e.doubt, Doubt::Stray);
    EXPECT_EQ(link_stats().unfitting_dropped, dropped + 1);
    EXPECT_FALSE(watch.clean());  // the span saw a stray datagram
}

TEST_F(LinkMatching, EighteenByteReplyToAReadIsNeverItsValue) {
    RawPeer peer([](const Bytes& req, int index) {
        if (index == 3) {
            Bytes write_ack(18, 0);
            write_ack[1] = 0x88;
            write_ack[2] = req[2];
            write_ack[3] = req[3];
            write_ack[4] = 0xEE;
            RawPeer::Answer a = answer(write_ack);
            a.then_extra = ack_for(req, {0x42});
            return a;
        }
        return answer(ack_for(req, {0x01}));
    });
    open_to(peer);
    learn();
    const ExchangeResult e = read_exchange(0x4000);
    EXPECT_EQ(e.word, word_of({0x42}));
    EXPECT_EQ(e.status, ExchangeStatus::Anomalous);  // the 18 bytes came first, as a stray
}

// Early in a session one read reply has come, not yet two: an acknowledgement of the same
// register (a copy, come late) is still no read's reply, where write replies are known to be
// shorter. Its zeros would have been taken for the first chunk of a page.
TEST_F(LinkMatching, AcknowledgementIsNoReadsReplyBeforeTheReadLengthIsLearnt) {
    std::atomic<int> reads{0};
    RawPeer peer([&](const Bytes& req, int) {
        if (req[0] != 0x80) return answer(ack_for(req));
        RawPeer::Answer a = answer(ack_for(req, {0x42}));
        if (++reads == 2) a.before_reply = ack_for(Bytes{0x00, 0, req[2], req[3]});
        return a;
    });
    open_to(peer);
    for (int i = 0; i < 2; ++i)  // the write replies' length is learnt
        ASSERT_TRUE(write_reg(0x0008, RegisterWord{}));
    RegisterWord w{};
    ASSERT_TRUE(read_reg(0x0008, w));  // one read reply: 22 bytes
    const ExchangeResult e = read_exchange(0x0008);
    EXPECT_EQ(e.word, word_of({0x42}));
    EXPECT_EQ(e.status, ExchangeStatus::Anomalous);  // the acknowledgement came as a stray
}

// Until the device has answered, the wait is the described 50 ms; then it follows the round
// trips, and a reply that comes after its wait is a stray whose late arrival settles the debt.
TEST_F(LinkMatching, FirstWaitIsFiftyMillisecondsThenMeasuredRoundTripsAndLateReplies) {
    const ReplyWaitFloor floor(kMinWaitUs);
    const NoReplyNudges no_nudges;
    RawPeer first([](const Bytes& req, int) {
        RawPeer::Answer a = answer(ack_for(req, {0x07}));
        a.delay = 40ms;
        return a;
    });
    open_to(first);
    EXPECT_EQ(current_reply_wait_us(), 50000u);
    RegisterWord w{};
    EXPECT_TRUE(read_reg(0x4000, w));  // 40 ms, inside the first wait
    EXPECT_EQ(w, word_of({0x07}));
    close_link();
    RawPeer peer([](const Bytes& req, int) {
        RawPeer::Answer a = answer(ack_for(req, {0x07}));
        if (req[3] == 0x00) a.delay = 30ms;  // reads of 4000h only
        return a;
    });
    open_to(peer);
    // Eight clean reads in a row teach the wait the round trip (a loaded host may miss a
    // few-millisecond wait now and then; such a read only backs the wait off until the next).
    int in_a_row = 0;
    for (int i = 0; i < 200 && in_a_row < 8; ++i)
        in_a_row = read_reg(0x4008 + 8 * (i % 2), w) ? in_a_row + 1 : 0;
    ASSERT_EQ(in_a_row, 8);
    EXPECT_LT(current_reply_wait_us(), 30000u);
    const LinkStats before = link_stats();
    const int sent_before = peer.sent();
    const ExchangeResult slow = read_exchange(0x4000);  // 30 ms: past the wait
    EXPECT_EQ(slow.status, ExchangeStatus::NoReply);
    ASSERT_TRUE(peer.wait_sent(sent_before + 1));
    const ExchangeResult next = read_exchange(0x4010);
    EXPECT_EQ(next.status, ExchangeStatus::Anomalous);  // the late reply was there first
    EXPECT_EQ(next.doubt, Doubt::Stray);
    EXPECT_EQ(link_stats().late_replies, before.late_replies + 1);
    // The late reply took 30 ms: from now on the wait covers that.
    ASSERT_TRUE(read_reg(0x4008, w));
    EXPECT_GE(current_reply_wait_us(), 30000u);
}

// A device that holds a reply until the next request comes, and sends it just before that
// one's: each costs one wait, but none stretches the wait by its apparent round trip (the wait
// itself), which would grow the wait a quarter at every such reply.
TEST_F(LinkMatching, ReplyHeldUntilTheNextRequestNeverStretchesTheWait) {
    const ReplyWaitFloor floor(kMinWaitUs);
    const NoReplyNudges no_nudges;
    std::mutex mutex;
    Bytes held;
    bool holding = true;
    RawPeer peer([&](const Bytes& req, int index) {
        std::lock_guard<std::mutex> guard(mutex);
        RawPeer::Answer a = answer(ack_for(req, {0x07}));
        if (!held.empty()) a.before_reply = std::exchange(held, Bytes{});
        if (holding && index > 8 && index % 4 == 0) {
            held = *a.reply;
            a.reply.reset();
        }
        return a;
    });
    open_to(peer);
    learn();
    RegisterWord w{};
    int held_replies = 0;
    for (int i = 0; i < 80; ++i)
        if (!read_reg(0x4000 + 8 * (i % 2), w)) ++held_replies;
    ASSERT_GE(held_replies, 15);
    {
        std::lock_guard<std::mutex> guard(mutex);
        holding = false;
    }
    for (int i = 0; i < 4; ++i)
        (void)read_reg(0x4008, w);  // clean round trips end the back-off
    EXPECT_LT(current_reply_wait_us(), 2 * kMinWaitUs);
}

// Replies 60, 120 and 400 ms late land while later reads of other registers wait: each is
// dropped there, and every read that reports success holds its own register's value.
TEST_F(LinkMatching, LateRepliesNeverBecomeALaterReadsValue) {
    for (const auto late : {60ms, 120ms, 400ms}) {
        SCOPED_TRACE(late.count());
        RawPeer peer([late](const Bytes& req, int index) {
            // The value names the register: 40 00 -> 00, 40 08 -> 08, ...
            RawPeer::Answer a = answer(ack_for(req, {req[3], 0x5A}));
            if (index == 3) {
                a.reply = ack_for(req, {0xDE, 0xAD});
                a.delay = late;
            }
            return a;
        });
        open_to(peer);
        learn();
        RegisterWord w{};
        EXPECT_FALSE(read_reg(0x4000, w));
        const auto until = std::chrono::steady_clock::now() + late + 100ms;
        int trusted = 0;
        while (std::chrono::steady_clock::now() < until) {
            if (read_reg(0x4008, w)) {
                ++trusted;
                EXPECT_EQ(w, word_of({0x08, 0x5A}));
            }
        }
        EXPECT_GT(trusted, 0);
        close_link();
    }
}

// A write that got no reply may still be answered late, and a late acknowledgement looks like
// any other for that register: the next acknowledgement of a write to it carries the doubt,
// however promptly it comes; a write to another register carries none.
TEST_F(LinkMatching, AcknowledgementOfAWriteWhoseRegisterOwesOneIsInDoubt) {
    RawPeer peer([](const Bytes& req, int index) {
        if (index == 12) return silence();  // the first write to 0020h after learning
        return answer(ack_for(req));
    });
    open_to(peer);
    learn();
    const RegisterWord zero{};
    for (int i = 0; i < 9; ++i)
        ASSERT_TRUE(write_reg(0x0010, zero));
    EXPECT_EQ(write_exchange(0x0020, zero).status, ExchangeStatus::NoReply);  // index 12
    const ExchangeResult other = write_exchange(0x0010, zero);
    EXPECT_TRUE(other.trusted());
    const ExchangeResult again = write_exchange(0x0020, zero);
    EXPECT_EQ(again.status, ExchangeStatus::Clean);
    EXPECT_EQ(again.doubt, Doubt::Owed);
}

// The task-done flag read after a read of it timed out: a "done" the flag gave shortly before
// may come back as that read's late reply, so it stands only when the next read agrees.
TEST_F(LinkMatching, TaskDoneThatALateReplyCouldRepeatIsReadTwice) {
    std::atomic<int> flag_reads{0};
    RawPeer peer([&flag_reads](const Bytes& req, int) {
        if (req[2] != 0x40 || req[3] != 0x00) return answer(ack_for(req));
        const int n = ++flag_reads;  // reads 1 to 3 teach the link the replies
        if (n == 4) return silence();
        const std::uint8_t flag = n == 3 || n == 5 || n >= 10 ? 0x01 : 0x00;
        return answer(ack_for(req, {flag}));
    });
    const SleepFunction previous = set_sleep_function([](std::uint32_t) {});
    open_to(peer);
    learn();
    EXPECT_TRUE(check_task_done());
    set_sleep_function(previous);
    EXPECT_EQ(flag_reads.load(), 11);  // not believed at read 5; reads 10 and 11 agree
}

// One reply in five sent twice: the copies never count as a later read's value, so the values
// trusted are strictly new ones. (A device that doubles every reply, probes included, is never
// trusted at all.)
// A span's confirmation waits for nothing after its probe's reply: a copy that comes after it
// can stand in for no exchange of the span, and the next exchange finds it.
TEST_F(LinkMatching, CopyOfTheProbeReplyAfterAConfirmationIsFoundByTheNextExchange) {
    std::mutex mutex;
    Bytes probe_reply;
    RawPeer peer([&](const Bytes& req, int) {
        std::lock_guard<std::mutex> guard(mutex);
        if (req[0] == 0x80 && req[2] == 0x40 && req[3] == 0x10) {
            probe_reply = ack_for(req, {0x01, 0x10});
            return answer(probe_reply);
        }
        RawPeer::Answer a = answer(ack_for(req, {0x5A, 0xA5}));
        if (!probe_reply.empty()) a.before_reply = std::exchange(probe_reply, Bytes{});
        return a;
    });
    open_to(peer);
    learn();
    EXPECT_TRUE(confirm_in_step());
    const std::uint64_t dropped = link_stats().unfitting_dropped;
    LinkWatch watch;
    const ExchangeResult e = read_exchange(0x4008);
    EXPECT_EQ(e.word, word_of({0x5A, 0xA5}));
    EXPECT_EQ(e.status, ExchangeStatus::Anomalous);
    EXPECT_EQ(link_stats().unfitting_dropped, dropped + 1);
    EXPECT_FALSE(watch.clean());
}

TEST_F(LinkMatching, DuplicatedRepliesNeverRepeatAValueAsANewRead) {
    RawPeer peer([](const Bytes& req, int index) {
        const auto n = static_cast<std::uint8_t>(index & 0xFF);
        const auto hi = static_cast<std::uint8_t>(index >> 8);
        RawPeer::Answer a = answer(ack_for(req, {hi, n}));
        if (index % 5 == 0) a.then_extra = ack_for(req, {hi, n});
        return a;
    });
    open_to(peer);
    int last = -1;
    int trusted = 0;
    for (int i = 0; i < 200; ++i) {
        RegisterWord w{};
        if (!read_reg(0x4000, w)) continue;
        const int value = w[0] * 256 + w[1];
        EXPECT_GT(value, last) << "read " << i;
        last = value;
        ++trusted;
    }
    EXPECT_GT(trusted, 100);
}

// A device that never echoes the address keeps working; a stray copy still makes the read
// that met it unclean or is drained before the next one.
TEST_F(LinkMatching, DeviceThatDoesNotEchoKeepsWorking) {
    RawPeer peer([](const Bytes& req, int) {
        Bytes reply = ack_for(req, {0x33});
        reply[2] = reply[3] = 0;
        return answer(reply);
    });
    open_to(peer);
    RegisterWord w{};
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(read_reg(0x4008, w));
        EXPECT_EQ(w, word_of({0x33}));
        EXPECT_TRUE(write_reg(0x4000, RegisterWord{}));
    }
}

// Against a device that sends nothing at all, each exchange costs its one request: no probes
// pile up behind the time-outs.
TEST_F(LinkMatching, SilentDeviceGetsOneRequestPerExchangeAndTheWatchSeesTheRun) {
    RawPeer peer([](const Bytes&, int) { return silence(); });
    open_to(peer);
    LinkWatch watch;
    RegisterWord w{};
    for (int i = 0; i < 4; ++i)
        EXPECT_FALSE(read_reg(0x4000, w));
    EXPECT_EQ(last_exchange_status(), ExchangeStatus::NoReply);
    ASSERT_TRUE(peer.wait_received(4));
    std::this_thread::sleep_for(20ms);  // room for a probe, which must not come
    EXPECT_EQ(peer.received().size(), 4u);
    EXPECT_EQ(watch.exchanges(), 4);
    EXPECT_EQ(watch.silent(), 4);
    EXPECT_EQ(watch.silent_run(), 4);
    EXPECT_FALSE(watch.clean());
}

TEST_F(LinkMatching, NakIsAFittingReplyAndTheNextExchangeNeedsNoProbe) {
    RawPeer peer([](const Bytes& req, int index) {
        return answer(ack_for(req, {0x01}, index == 3 ? 0x00 : 0x88));
    });
    open_to(peer);
    learn();
    RegisterWord w{};
    EXPECT_FALSE(read_reg(0x4000, w));
    EXPECT_EQ(last_exchange_status(), ExchangeStatus::Nak);
    const std::uint64_t probes = link_stats().resyncs;
    EXPECT_TRUE(read_reg(0x4000, w));
    EXPECT_EQ(link_stats().resyncs, probes);
    EXPECT_EQ(peer.received().size(), 5u);
}

TEST_F(LinkMatching, ProbeReadsHostCtrl) {
    RawPeer peer([](const Bytes& req, int) { return answer(ack_for(req)); });
    open_to(peer);
    learn();
    EXPECT_TRUE(confirm_in_step());
    // The probe reads HOST_CTRL: 80 00 40 10 and 18 zero bytes.
    Bytes probe(22, 0);
    probe[0] = 0x80;
    probe[2] = 0x40;
    probe[3] = 0x10;
    EXPECT_EQ(peer.received().back().bytes, probe);
}

// A datagram from another port of the device's host is somebody else's once the link has
// learnt the port the device answers from, also when it fits: it never becomes a value and
// never moves the requests.
TEST_F(LinkMatching, ForgedReplyFromAnotherLocalPortIsForeign) {
    std::atomic<bool> forge{false};
    RawPeer peer([&forge](const Bytes& req, int) {
        RawPeer::Answer a = answer(ack_for(req, {0x11}));
        if (forge) a.other_port_first = ack_for(req, {0xEE});
        return a;
    });
    open_to(peer);
    learn();
    const PeerAddress before = peer_address();
    const std::uint64_t foreign = link_stats().foreign_dropped;
    forge = true;
    RegisterWord w{};
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(read_reg(0x0008, w));
        EXPECT_EQ(w, word_of({0x11}));
    }
    EXPECT_EQ(peer_address().port, before.port);
    EXPECT_EQ(link_stats().foreign_dropped, foreign + 5);
    for (const auto& r : peer.received())
        EXPECT_EQ(r.socket, 0);
}

}  // namespace
}  // namespace kestrel::test
