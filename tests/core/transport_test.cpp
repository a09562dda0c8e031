// The register link on the wire: request bytes, reply handling, time-outs, the peer address
// and the lock, against a scripted UDP peer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "link/transport.h"
#include "platform/ticks.h"
#include "support/capture.h"
#include "support/raw_peer.h"
#include "support/register_word.h"

namespace kestrel::test {
namespace {

using ::testing::ElementsAre;
using namespace std::chrono_literals;

int open_fd_count() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++n;
        closedir(dir);
    }
    return n;
}

class TransportTest : public ::testing::Test {
  protected:
    void open_to(RawPeer& peer, int socket = 0) {
        ASSERT_TRUE(open_link("127.0.0.1", peer.port(socket)));
        traces_.clear();
    }
    void TearDown() override {
        close_link();
        set_receive_spin_us(kDefaultReceiveSpinUs);
    }

    TraceCapture traces_;
};

RawPeer::Answer echo_ack(const Bytes& request, int) {
    return answer(ack_for(request));
}

// The first request is answered (DE AD ...) only after `delay`, every later one at once with
// `word`.
RawPeer::Script late_first_reply(std::chrono::milliseconds delay, Bytes word) {
    return [delay, word](const Bytes& req, int index) {
        if (index > 0) return answer(ack_for(req, word));
        RawPeer::Answer late = answer(ack_for(req, {0xDE, 0xAD, 0, 0, 0, 0, 0, 0}));
        late.delay = delay;
        return late;
    };
}

TEST_F(TransportTest, ReadRegSendsTwentyTwoBytes) {
    RawPeer peer(echo_ack);
    open_to(peer);
    RegisterWord w{};
    EXPECT_TRUE(read_reg(0x4010, w));
    const auto got = peer.received();
    ASSERT_EQ(got.size(), 1u);
    Bytes expected(22, 0);
    expected[0] = 0x80;
    expected[2] = 0x40;
    expected[3] = 0x10;
    EXPECT_EQ(got[0].bytes, expected);
}

TEST_F(TransportTest, WriteRegSendsEighteenBytes) {
    RawPeer peer(echo_ack);
    open_to(peer);
    EXPECT_TRUE(write_reg(0xC018, RegisterWord{}));
    EXPECT_TRUE(write_reg(0x0010, word_of({1, 2, 3, 4, 5, 6, 7, 8})));
    const auto got = peer.received();
    ASSERT_EQ(got.size(), 2u);
    Bytes zero_write(18, 0);
    zero_write[2] = 0xC0;
    zero_write[3] = 0x18;
    EXPECT_EQ(got[0].bytes, zero_write);
    EXPECT_THAT(got[1].bytes,
                ElementsAre(0, 0, 0x00, 0x10, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0, 0));
    EXPECT_TRUE(traces_.lines().empty());
}

TEST_F(TransportTest, ReadRegTakesWordFromReplyBytesFourToEleven) {
    RawPeer peer([](const Bytes&, int) {
        return answer(Bytes{0x00, 0x88, 0x40, 0x10, 1, 2, 3, 4, 5, 6, 7, 8});
    });
    open_to(peer);
    RegisterWord w{};
    EXPECT_TRUE(read_reg(0x4010, w));
    EXPECT_EQ(w, word_of({1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_TRUE(traces_.lines().empty());
}

TEST_F(TransportTest, NakIsTracedAndReadStillHandsBackTheWord) {
    RawPeer peer([](const Bytes& req, int) {
        return answer(ack_for(req, {9, 8, 7, 6, 5, 4, 3, 2}, 0x00));
    });
    open_to(peer);
    RegisterWord w{};
    EXPECT_FALSE(read_reg(0x4000, w));
    EXPECT_EQ(w, word_of({9, 8, 7, 6, 5, 4, 3, 2}));
    EXPECT_FALSE(write_reg(0x4000, w));
    EXPECT_THAT(traces_.lines(),
                ElementsAre("READ Reg32, ACK error! ", "WRITE Reg32, ACK error! "));
}

TEST_F(TransportTest, LostReplyEndsAfterFiftyMillisecondsWithoutRetry) {
    RawPeer peer([](const Bytes&, int) { return silence(); });
    open_to(peer);
    const LinkStats before = link_stats();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(write_reg(0x4008, RegisterWord{}));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 49ms);
    EXPECT_LT(elapsed, 500ms);
    const LinkStats after = link_stats();
    EXPECT_EQ(after.exchanges - before.exchanges, 1u);
    EXPECT_GE(after.exchange_ns - before.exchange_ns, 49'000'000u);
    EXPECT_LE(after.exchange_ns - before.exchange_ns,
              static_cast<std::uint64_t>(std::chrono::nanoseconds(elapsed).count()));
    ASSERT_TRUE(peer.wait_received(1));
    std::this_thread::sleep_for(20ms);  // room for a second request, which must not come
    EXPECT_EQ(peer.received().size(), 1u);
    EXPECT_THAT(traces_.lines(), ElementsAre("WRITE Reg32, ACK error! "));
}

TEST_F(TransportTest, MissingOrShortReadReplyGivesZeroWordAndCountsAsUnacknowledged) {
    RawPeer peer([](const Bytes& req, int index) {
        if (index == 0) return silence();  // no reply at all
        Bytes short_reply = ack_for(req, {1, 2, 3, 4, 5, 6, 7, 8});
        short_reply.resize(11);
        return answer(short_reply);
    });
    open_to(peer);
    RegisterWord w = word_of({0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA});
    EXPECT_FALSE(read_reg(0x4000, w));
    EXPECT_EQ(w, RegisterWord{});
    w.fill(0xAA);
    EXPECT_FALSE(read_reg(0x4000, w));
    EXPECT_EQ(w, RegisterWord{});
    EXPECT_EQ(traces_.count("READ Reg32, ACK error! "), 2);
}

TEST_F(TransportTest, LongReplyIsCutToTheReplyBuffer) {
    RawPeer peer([](const Bytes& req, int) {
        Bytes reply = ack_for(req, {1, 2, 3, 4, 5, 6, 7, 8});
        reply.resize(300, 0x77);
        return answer(reply);
    });
    open_to(peer);
    RegisterWord w{};
    EXPECT_TRUE(read_reg(0x0008, w));
    EXPECT_EQ(w, word_of({1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(TransportTest, ReplyFromAnotherPortMovesThePeerThere) {
    RawPeer peer([](const Bytes& req, int) { return answer(ack_for(req), 1); });
    open_to(peer);
    RegisterWord w{};
    EXPECT_TRUE(read_reg(0x4000, w));
    EXPECT_EQ(ntohs(peer_address().port), peer.port(1));
    EXPECT_TRUE(read_reg(0x4000, w));
    const auto got = peer.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].socket, 0);
    EXPECT_EQ(got[1].socket, 1);
}

// The port the device answers from is learnt once for each opened link: kept while the link is
// open (a fitting reply from the port first addressed is then foreign) and learnt afresh on the
// next open.
TEST_F(TransportTest, TheLearntReplyPortLastsUntilTheLinkIsOpenedAgain) {
    std::atomic<int> from{1};
    RawPeer peer([&from](const Bytes& req, int) { return answer(ack_for(req), from.load()); });
    open_to(peer);
    RegisterWord w{};
    ASSERT_TRUE(read_reg(0x4000, w));
    EXPECT_EQ(ntohs(peer_address().port), peer.port(1));
    from = 0;
    EXPECT_FALSE(read_reg(0x4000, w));  // the reply fits, but from a port not learnt
    EXPECT_EQ(ntohs(peer_address().port), peer.port(1));
    open_to(peer);
    ASSERT_TRUE(read_reg(0x4000, w));
    EXPECT_EQ(ntohs(peer_address().port), peer.port(0));
}

// Without the sender check, the foreign datagram would be the reply and its host the new peer.
TEST_F(TransportTest, DatagramFromAnotherHostIsIgnoredAndTheReplyStillCounts) {
    RawPeer peer([](const Bytes& req, int) {
        RawPeer::Answer a = answer(ack_for(req, {1, 1, 1, 1, 1, 1, 1, 1}));
        a.foreign_first = ack_for(req, {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE});
        return a;
    });
    open_to(peer);
    const PeerAddress before = peer_address();
    RegisterWord w{};
    EXPECT_TRUE(read_reg(0x4000, w));
    EXPECT_EQ(w, word_of({1, 1, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(peer_address().addr, before.addr);
    EXPECT_EQ(peer_address().port, before.port);
    EXPECT_GE(link_stats().foreign_dropped, 1u);
}

// A device that answers one request twice: the second copy waits on the socket and is
// discarded before the next request, never taken for its reply.
TEST_F(TransportTest, ExtraDatagramWaitingBeforeARequestIsDiscarded) {
    RawPeer peer([](const Bytes& req, int index) {
        RawPeer::Answer a = answer(ack_for(req, {static_cast<std::uint8_t>(index + 1)}));
        if (index == 0) a.then_extra = ack_for(req, {0xDE, 0xAD});
        return a;
    });
    open_to(peer);
    RegisterWord w{};
    EXPECT_TRUE(read_reg(0x4000, w));
    EXPECT_EQ(w, word_of({1}));
    ASSERT_TRUE(peer.wait_sent(2));  // the extra copy is on the socket now
    const std::uint64_t drained = link_stats().stale_discarded;
    const ExchangeResult e = read_exchange(0x4000);
    EXPECT_EQ(e.word, word_of({2}));
    EXPECT_EQ(e.doubt, Doubt::Stray);  // the copy was there before the request
    EXPECT_EQ(link_stats().stale_discarded, drained + 1);
}

// Without the discard, the late reply of the first read would become the second read's value.
TEST_F(TransportTest, LateReplyIsNeverTakenForTheNextExchange) {
    RawPeer peer(late_first_reply(60ms, {0x12, 0x34, 0, 0, 0, 0, 0, 0}));
    open_to(peer);
    RegisterWord w{};
    EXPECT_FALSE(read_reg(0x4000, w));
    ASSERT_TRUE(peer.wait_sent(1));  // the late reply lands while the caller does other work
    const ExchangeResult e = read_exchange(0x4008);
    EXPECT_EQ(e.word, word_of({0x12, 0x34, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(e.doubt, Doubt::Stray);
}

// The next request goes out right after the time-out, so the late reply arrives while it waits
// and, before the link has learnt the echo, fits it: that read is in doubt, and no read that
// reports success afterwards holds another register's value. (On a busy machine the next
// request may go out only after the late reply came; it is then dropped as waiting, and the
// read holds its own value.)
TEST_F(TransportTest, LateReplyTakenWhileTheNextRequestWaitsIsNeverTrusted) {
    RawPeer peer(late_first_reply(70ms, {0x56, 0x78, 0, 0, 0, 0, 0, 0}));
    open_to(peer);
    RegisterWord w{};
    EXPECT_FALSE(read_reg(0x4000, w));
    if (read_reg(0x4008, w)) {
        EXPECT_EQ(w, word_of({0x56, 0x78, 0, 0, 0, 0, 0, 0}));
    }
    for (int i = 0; i < 20; ++i) {
        if (read_reg(0x4010, w)) {
            EXPECT_EQ(w, word_of({0x56, 0x78, 0, 0, 0, 0, 0, 0}));
        }
        std::this_thread::sleep_for(5ms);
    }
}

// The receive spins before it blocks; a spin longer than the time-out must not stretch it.
TEST_F(TransportTest, SpinningReceiveKeepsTheFiftyMillisecondTimeOut) {
    RawPeer peer([](const Bytes&, int) { return RawPeer::Answer{}; });
    for (std::uint32_t spin : {20000u, 200000u}) {
        open_to(peer);  // a fresh link: no grace period left from the last time-out
        set_receive_spin_us(spin);
        RegisterWord w = word_of({9, 9, 9, 9, 9, 9, 9, 9});
        const std::uint64_t start = monotonic_us();
        EXPECT_FALSE(read_reg(0x4000, w));
        const std::uint64_t took = monotonic_us() - start;
        EXPECT_GE(took, 50000u) << "spin " << spin;
        EXPECT_LT(took, 150000u) << "spin " << spin;  // not the 200 ms spin; slack for load
        EXPECT_EQ(w, RegisterWord{});
    }
}

// A reply within the spin is taken there. After eight receives in a row that the spin missed,
// the link stops spinning for a while, even for fast replies; a new link spins again.
TEST_F(TransportTest, SpinRestsAfterItKeepsMissingAndResumesOnANewLink) {
    std::atomic<bool> slow{false};
    RawPeer peer([&slow](const Bytes& req, int) {
        RawPeer::Answer a = answer(ack_for(req));
        if (slow) a.delay = 3ms;
        return a;
    });
    open_to(peer);
    set_receive_spin_us(20000);
    RegisterWord w{};
    const auto caught_in = [&](int reads) {
        const std::uint64_t before = link_stats().spin_caught;
        for (int i = 0; i < reads; ++i)
            EXPECT_TRUE(read_reg(0x4000, w));
        return link_stats().spin_caught - before;
    };
    EXPECT_EQ(caught_in(3), 3u);
    set_receive_spin_us(1000);
    slow = true;
    EXPECT_EQ(caught_in(8), 0u);
    slow = false;
    set_receive_spin_us(20000);
    EXPECT_EQ(caught_in(5), 0u);
    open_to(peer);
    EXPECT_EQ(caught_in(3), 3u);
}

TEST_F(TransportTest, ExchangesBeforeAnyOpenFailAtOnce) {
    close_link();
    RegisterWord w = word_of({5, 5, 5, 5, 5, 5, 5, 5});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(read_reg(0x4000, w));
    EXPECT_FALSE(write_reg(0x4000, w));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20ms);
    EXPECT_EQ(w, RegisterWord{});
    EXPECT_THAT(traces_.lines(),
                ElementsAre("READ Reg32, ACK error! ", "WRITE Reg32, ACK error! "));
}

TEST_F(TransportTest, OpenLinkTracesTheIpTextAndSetsThePeer) {
    ASSERT_TRUE(open_link("127.0.0.1", 0x12345));  // only the low 16 bits count
    EXPECT_THAT(traces_.lines(), ElementsAre("127.0.0.1"));
    EXPECT_EQ(peer_address().addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ntohs(peer_address().port), 0x2345);
}

TEST_F(TransportTest, ReopeningReplacesTheSocketAndLeaksNothing) {
    RawPeer peer(echo_ack);
    open_to(peer);
    RegisterWord w{};
    read_reg(0x4000, w);
    const int fds_before = open_fd_count();
    for (int i = 0; i < 20; ++i)
        open_to(peer);
    EXPECT_EQ(open_fd_count(), fds_before);
    read_reg(0x4000, w);
    EXPECT_EQ(peer.received().size(), 2u);
}

TEST_F(TransportTest, UnparsableServerAddressBehavesAsALostReply) {
    ASSERT_TRUE(open_link("not.an.address", 5000));
    EXPECT_EQ(peer_address().addr, 0xFFFFFFFFu);
    RegisterWord w{};
    EXPECT_FALSE(read_reg(0x4000, w));
}

struct HandshakeCase {
    const char* name;
    Bytes reply;
    bool silent;
    bool expect_ok;
};

void PrintTo(const HandshakeCase& c, std::ostream* os) {
    *os << c.name;
}

Bytes text(const std::string& s, bool nul = true) {
    Bytes b(s.begin(), s.end());
    if (nul) b.push_back(0);
    return b;
}

class HandshakeTest : public TransportTest, public ::testing::WithParamInterface<HandshakeCase> {};

TEST_P(HandshakeTest, SucceedsOnlyWithConnectokAfterTheFirstCharacter) {
    const HandshakeCase& c = GetParam();
    RawPeer peer([&](const Bytes&, int index) {
        if (c.silent || index > 0) return silence();
        return answer(c.reply);
    });
    open_to(peer);
    EXPECT_EQ(connect_handshake(), c.expect_ok);
    const auto got = peer.received();
    ASSERT_GE(got.size(), 1u);
    EXPECT_EQ(got[0].bytes, text("serconnectokornot"));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, HandshakeTest,
    ::testing::Values(HandshakeCase{"ThreeAhead", text("abcconnectok"), false, true},
                      HandshakeCase{"OneAhead", text("*connectok"), false, true},
                      HandshakeCase{"AtStart", text("connectok"), false, false},
                      HandshakeCase{"AtStartAndLater", text("connectokxconnectok"), false, false},
                      HandshakeCase{"Other", text("hello"), false, false},
                      HandshakeCase{"Empty", Bytes{0}, false, false},
                      HandshakeCase{"NoReply", {}, true, false},
                      HandshakeCase{"NulBeforeToken", text(std::string("ab\0connectok", 12)), false,
                                    false},
                      HandshakeCase{"FullBufferNoNul",
                                    text(std::string(91, 'x') + "connectok", false), false, true},
                      HandshakeCase{"TokenPastOneHundredBytes",
                                    text(std::string(95, 'x') + "connectok"), false, false}),
    [](const ::testing::TestParamInfo<HandshakeCase>& param_info) {
        return std::string(param_info.param.name);
    });

TEST_F(TransportTest, HandshakeStartingWithQIsAnsweredWithQAndNul) {
    RawPeer peer([](const Bytes&, int index) {
        if (index > 0) return silence();
        return answer(text("qconnectok"));
    });
    open_to(peer);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(connect_handshake());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Chat end!\n");
    ASSERT_TRUE(peer.wait_received(2));
    const auto got = peer.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].bytes, (Bytes{'q', 0}));
}

// While one thread holds the link lock, another thread's exchange waits for it.
TEST_F(TransportTest, LockKeepsAnotherThreadsExchangeWaiting) {
    RawPeer peer(echo_ack);
    open_to(peer);
    std::atomic<bool> done{false};
    std::unique_lock<std::recursive_mutex> held(link_lock());
    std::thread other([&] {
        RegisterWord w{};
        read_reg(0x4000, w);
        done = true;
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(done.load());
    EXPECT_TRUE(peer.received().empty());
    RegisterWord mine{};
    EXPECT_TRUE(read_reg(0x4008, mine));  // the owner may take the lock again
    held.unlock();
    other.join();
    EXPECT_TRUE(done.load());
    EXPECT_EQ(peer.received().size(), 2u);
}

// Two threads hammering the link each get the reply to their own request.
TEST_F(TransportTest, ConcurrentExchangesNeverSwapReplies) {
    RawPeer peer([](const Bytes& req, int) {
        return answer(ack_for(req, {req[2], req[3], 0, 0, 0, 0, 0, 0}));
    });
    open_to(peer);
    std::atomic<int> mismatches{0};
    auto worker = [&](std::uint16_t base) {
        for (int i = 0; i < 300; ++i) {
            const auto address = static_cast<std::uint16_t>(base + i);
            RegisterWord w{};
            if (read_reg(address, w) && (w[0] != (address >> 8) || w[1] != (address & 0xFF)))
                ++mismatches;
        }
    };
    std::thread a(worker, 0x1000);
    std::thread b(worker, 0x2000);
    a.join();
    b.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(peer.received().size(), 600u);
}

}  // namespace
}  // namespace kestrel::test
