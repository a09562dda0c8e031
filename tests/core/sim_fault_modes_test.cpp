// The simulator's timing faults on the wire, seen by a bare client: late delays drawn from a
// range, late replies released by the next request, duplicated requests, and a service latency
// that keeps replies in order. Plus the fault counters and the option texts of kestrel-devsim.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sim/device.h"
#include "sim/faults.h"
#include "sim/server.h"
#include "support/raw_client.h"

namespace kestrel::test {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

TEST(LateDelay, ParsesASingleDelayOrARange) {
    sim::LinkFaults f;
    ASSERT_TRUE(sim::parse_late_delay("60-1000", f));
    EXPECT_EQ(f.late_reply_ms, 60u);
    EXPECT_EQ(f.late_reply_max_ms, 1000u);
    ASSERT_TRUE(sim::parse_late_delay("400", f));
    EXPECT_EQ(f.late_reply_ms, 400u);
    EXPECT_EQ(f.late_reply_max_ms, 0u);  // a single value clears an earlier range
    ASSERT_TRUE(sim::parse_late_delay("70-70", f));
    EXPECT_EQ(f.late_reply_ms, 70u);
}

TEST(LateDelay, RefusesMalformedTextsAndLeavesTheFaultsAsTheyWere) {
    for (const char* text : {"1000-60", "60-", "-5", "60-1000x", "x", "", "60--1000", "60-+9"}) {
        sim::LinkFaults f;
        f.late_reply_ms = 11;
        f.late_reply_max_ms = 22;
        EXPECT_FALSE(sim::parse_late_delay(text, f)) << '"' << text << '"';
        EXPECT_EQ(f.late_reply_ms, 11u) << text;
        EXPECT_EQ(f.late_reply_max_ms, 22u) << text;
    }
}

TEST(LateDelay, DrawsCoverTheWholeRangeAndNeverLeaveIt) {
    sim::LinkFaults f{.seed = 4, .late_reply = 1.0};
    f.late_reply_ms = 60;
    f.late_reply_max_ms = 1000;
    sim::FaultInjector injector(f);
    std::uint32_t low = 100000, high = 0;
    for (int i = 0; i < 4000; ++i) {
        const sim::FaultDraw d = injector.draw();
        ASSERT_TRUE(d.late);
        ASSERT_GE(d.late_ms, 60u);
        ASSERT_LE(d.late_ms, 1000u);
        low = std::min(low, d.late_ms);
        high = std::max(high, d.late_ms);
    }
    EXPECT_LT(low, 70u);
    EXPECT_GT(high, 990u);
}

TEST(LateDelay, HeldShareFollowsLateNextAndOnlyLateRepliesAreHeld) {
    sim::LinkFaults f{.seed = 9, .late_reply = 0.5, .late_next = 0.5};
    sim::FaultInjector injector(f);
    int late = 0, held = 0;
    for (int i = 0; i < 4000; ++i) {
        const sim::FaultDraw d = injector.draw();
        late += d.late;
        held += d.late_next;
        if (!d.late) {
            ASSERT_FALSE(d.late_next);
        } else {
            ASSERT_EQ(d.late_ms, 60u);  // no range: always the single delay
        }
    }
    EXPECT_GT(late, 1800);
    EXPECT_LT(late, 2200);
    EXPECT_GT(held, late * 4 / 10);
    EXPECT_LT(held, late * 6 / 10);
}

// The simulator on an ephemeral port, spoken to by a bare client.
class SimWire : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ = std::make_unique<sim::Server>(device_, sim::ServerOptions{});
        ASSERT_TRUE(server_->start());
        client_ = std::make_unique<RawClient>(server_->port());
    }
    void TearDown() override { server_->stop(); }
    std::vector<std::uint16_t> addresses_within(std::chrono::milliseconds patience, int n) {
        std::vector<std::uint16_t> out;
        for (int i = 0; i < n; ++i) {
            const auto r = client_->receive(patience);
            if (!r) break;
            out.push_back(r->address());
        }
        return out;
    }

    sim::Device device_;
    std::unique_ptr<sim::Server> server_;
    std::unique_ptr<RawClient> client_;
};

TEST_F(SimWire, HeldLateReplyLeavesJustBeforeTheNextRequestsReply) {
    sim::LinkFaults f{.late_reply = 1.0, .late_next = 1.0};
    f.late_reply_ms = 5000;  // far beyond the test: only the next request can release it
    server_->set_faults(f);
    client_->send_read(0x4010);
    EXPECT_FALSE(client_->receive(100ms)) << "the held reply left on its own";

    server_->set_faults(sim::LinkFaults{});
    client_->send_read(0x0208);
    const auto first = client_->receive(2000ms);
    const auto second = client_->receive(2000ms);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->address(), 0x4010);
    EXPECT_EQ(first->bytes.size(), 22u);
    EXPECT_EQ(second->address(), 0x0208);
    EXPECT_FALSE(client_->receive(50ms));
    EXPECT_EQ(server_->counters().faults.late_held, 1u);
}

TEST_F(SimWire, LostRequestDoesNotReleaseAHeldLateReply) {
    sim::LinkFaults f{.late_reply = 1.0, .late_next = 1.0};
    f.late_reply_ms = 5000;
    server_->set_faults(f);
    client_->send_read(0x4010);
    ASSERT_FALSE(client_->receive(50ms));
    server_->set_faults({.lose_request = 1.0});
    client_->send_read(0x0208);  // lost before the device sees it
    EXPECT_FALSE(client_->receive(100ms)) << "a request the device never saw released the reply";
    server_->set_faults(sim::LinkFaults{});
    client_->send_read(0x0209);
    EXPECT_EQ(addresses_within(2000ms, 2), (std::vector<std::uint16_t>{0x4010, 0x0209}));
}

TEST_F(SimWire, HeldLateReplyLeavesAfterItsDelayWhenNoRequestComes) {
    sim::LinkFaults f{.late_reply = 1.0, .late_next = 1.0};
    f.late_reply_ms = 80;
    server_->set_faults(f);
    const auto sent = client_->send_read(0x4010);
    const auto reply = client_->receive(3000ms);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->address(), 0x4010);
    EXPECT_GE(reply->taken - sent, 80ms);
}

TEST_F(SimWire, LateRepliesWithARangeEachWaitTheirOwnDrawnDelay) {
    sim::LinkFaults f{.seed = 3, .late_reply = 1.0};
    f.late_reply_ms = 60;
    f.late_reply_max_ms = 400;
    server_->set_faults(f);
    // The delays this seed draws, from an injector of the same configuration.
    sim::FaultInjector twin(f);
    std::map<std::uint16_t, std::pair<RawClient::Clock::time_point, std::uint32_t>> sent;
    std::set<std::uint32_t> delays;
    for (std::uint16_t reg = 0x0200; reg < 0x0206; ++reg) {
        const auto at = client_->send_read(reg);
        const std::uint32_t ms = twin.draw().late_ms;
        sent[reg] = {at, ms};
        delays.insert(ms);
    }
    EXPECT_GT(delays.size(), 3u) << "the delays are drawn, not fixed";
    for (int i = 0; i < 6; ++i) {
        const auto r = client_->receive(2000ms);
        ASSERT_TRUE(r) << "reply " << i;
        ASSERT_EQ(sent.count(r->address()), 1u);
        const auto [at, ms] = sent[r->address()];
        EXPECT_GE(r->taken - at, std::chrono::milliseconds(ms)) << r->address();
        sent.erase(r->address());
    }
    EXPECT_EQ(server_->counters().faults.late_replies, 6u);
}

TEST_F(SimWire, DuplicatedRequestIsActedOnTwiceAndAnsweredTwice) {
    sim::LinkFaults f{.dup_request = 1.0};
    f.dup_gap_us = 300;
    server_->set_faults(f);
    client_->send_write(0x0300, {0x5A, 1, 2, 3, 4, 5, 6, 7});
    const auto first = client_->receive(2000ms);
    const auto second = client_->receive(2000ms);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->bytes.size(), 18u);
    EXPECT_EQ(second->bytes.size(), 18u);
    EXPECT_EQ(second->address(), 0x0300);
    EXPECT_FALSE(client_->receive(50ms)) << "the copy is not duplicated again";

    const sim::ServerCounters c = server_->counters();
    EXPECT_EQ(c.writes, 2u);
    EXPECT_EQ(c.replies, 2u);
    EXPECT_EQ(c.faults.dup_requests, 1u);
    const auto log = server_->exchanges();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].word[0], 0x5A);
}

// Each 8-byte data write shifts the page on; the network's copy of one shifts it twice.
TEST_F(SimWire, DuplicatedPageDataWriteShiftsTheProgrammedBytes) {
    auto write_and_wait = [&](std::uint16_t reg, std::vector<std::uint8_t> word) {
        client_->send_write(reg, word);
        ASSERT_TRUE(client_->receive(2000ms));
    };
    write_and_wait(0x0010, {0x06});        // SPI_CMD: write enable
    write_and_wait(0x0008, {0xE0, 0x10});  // SPI_CTRL: start, send 1, end
    write_and_wait(0x0018, {0x02, 0, 0, 0, 0xA0, 0xA1, 0xA2, 0xA3});  // SPI_PP_HEAD
    sim::LinkFaults f{.dup_request = 1.0};
    f.dup_gap_us = 200;
    server_->set_faults(f);
    client_->send_write(0x0020, {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7});  // SPI_PP_DATA
    ASSERT_TRUE(client_->receive(2000ms));
    ASSERT_TRUE(client_->receive(2000ms));  // the copy's reply: it has been served
    server_->set_faults(sim::LinkFaults{});
    write_and_wait(0x0028, {0xC0, 0xC1, 0xC2, 0xC3});  // SPI_PP_TAIL
    std::lock_guard<std::mutex> guard(server_->lock());
    const auto& chip = device_.flash().contents();
    EXPECT_THAT(
        std::vector<std::uint8_t>(chip.begin(), chip.begin() + 24),
        ElementsAre(0xA0, 0xA1, 0xA2, 0xA3, 0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB0,
                    0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xC0, 0xC1, 0xC2, 0xC3));
}

TEST_F(SimWire, ReplyDelayKeepsRepliesInTheOrderOfTheirRequests) {
    sim::LinkFaults f;
    f.reply_delay_us = 3000;
    server_->set_faults(f);
    std::vector<RawClient::Clock::time_point> sent;
    for (std::uint16_t reg = 0x0207; reg > 0x0200; --reg)
        sent.push_back(client_->send_read(reg));
    std::vector<std::uint16_t> got;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const auto r = client_->receive(2000ms);
        ASSERT_TRUE(r) << "reply " << i;
        got.push_back(r->address());
        EXPECT_GE(r->taken - sent[i], 3ms) << "reply " << i << " left before its latency";
    }
    EXPECT_THAT(got, ElementsAre(0x0207, 0x0206, 0x0205, 0x0204, 0x0203, 0x0202, 0x0201));
}

TEST_F(SimWire, LateReplyUnderAReplyDelayDoesNotHoldBackLaterReplies) {
    sim::LinkFaults f{.late_reply = 1.0};
    f.late_reply_ms = 300;
    f.reply_delay_us = 1000;
    server_->set_faults(f);
    client_->send_read(0x0201);
    // The device answers the first request 300 ms late; the next request arrives meanwhile.
    ASSERT_FALSE(client_->receive(20ms));
    f.late_reply = 0;
    server_->set_faults(f);
    client_->send_read(0x0202);
    EXPECT_EQ(addresses_within(2000ms, 2), (std::vector<std::uint16_t>{0x0202, 0x0201}));
}

TEST_F(SimWire, CountsOnlyTheFaultsThatTookEffect) {
    // A lost request leaves no reply to lose, delay or duplicate.
    server_->set_faults({.lose_request = 1.0, .lose_reply = 1.0, .nak = 1.0, .dup_reply = 1.0});
    client_->send_read(0x0201);
    EXPECT_FALSE(client_->receive(50ms));
    sim::InjectedFaults c = server_->counters().faults;
    EXPECT_EQ(c.lost_requests, 1u);
    EXPECT_EQ(c.lost_replies, 0u);
    EXPECT_EQ(c.naks, 0u);
    EXPECT_EQ(c.dup_replies, 0u);
    EXPECT_EQ(c.total(), 1u);

    server_->set_faults({.nak = 1.0, .dup_reply = 1.0});
    client_->send_read(0x0201);
    const auto first = client_->receive(2000ms);
    const auto copy = client_->receive(2000ms);
    ASSERT_TRUE(first && copy);
    EXPECT_EQ(first->bytes[1], 0x00);
    EXPECT_EQ(copy->bytes, first->bytes);
    c = server_->counters().faults;
    EXPECT_EQ(c.naks, 1u);
    EXPECT_EQ(c.dup_replies, 1u);
    EXPECT_EQ(c.total(), 3u);
}

std::string run_command(const std::string& command, int* status) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    char buf[256];
    while (pipe && std::fgets(buf, sizeof buf, pipe))
        out += buf;
    *status = pipe ? pclose(pipe) : -1;
    return out;
}

TEST(DevsimFaultOptions, HelpDocumentsEveryTimingFault) {
    int status = 0;
    const std::string out = run_command(std::string(KESTREL_DEVSIM_PATH) + " --help", &status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    for (const char* option :
         {"--late-ms MS | MIN-MAX", "--late-next P", "--dup-request P", "--reply-delay-us N"}) {
        EXPECT_NE(out.find(option), std::string::npos) << option;
    }
}

TEST(DevsimFaultOptions, RefusesABackwardsOrMalformedLateRange) {
    for (const char* range : {"1000-60", "60-", "abc"}) {
        int status = 0;
        run_command(std::string(KESTREL_DEVSIM_PATH) + " --late-ms " + range + " 2>/dev/null",
                    &status);
        EXPECT_EQ(WEXITSTATUS(status), 2) << range;
    }
    int status = 0;
    run_command(std::string(KESTREL_DEVSIM_PATH) + " --late-next 1.5 2>/dev/null", &status);
    EXPECT_EQ(WEXITSTATUS(status), 2);
}

// kestrel-soak and kestrel-bench read this line to count the faults of a run.
TEST(DevsimFaultOptions, PrintsTheFaultsItInjectedAtExit) {
    const std::uint16_t port = free_udp_port();
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        const std::string listen = "127.0.0.1:" + std::to_string(port);
        execl(KESTREL_DEVSIM_PATH, KESTREL_DEVSIM_PATH, "--listen", listen.c_str(),
              "--lose-request", "1", "--dup-request", "1", nullptr);
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n')
        text += c;  // "listening": the simulator is ready
    ASSERT_NE(text.find("listening"), std::string::npos) << text;
    RawClient client(port);
    client.send_read(0x4010);
    client.send_read(0x4010);
    EXPECT_FALSE(client.receive(100ms)) << "a lost request got a reply";
    kill(pid, SIGINT);
    char buf[512];
    ssize_t got;
    text.clear();
    while ((got = read(out[0], buf, sizeof buf)) > 0)
        text.append(buf, static_cast<std::size_t>(got));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // A lost request is neither acted on nor duplicated.
    EXPECT_NE(text.find("kestrel-devsim: faults lose-request 2 lose-reply 0 nak 0 late 0 "
                        "late-next 0 dup-reply 0 dup-request 0 other-port 0 foreign 0 total 2\n"),
              std::string::npos)
        << text;
}

}  // namespace
}  // namespace kestrel::test
