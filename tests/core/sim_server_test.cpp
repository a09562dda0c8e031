// The simulated device itself: its faults as the link sees them, its counters and the
// kestrel-devsim executable.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "link/mailbox.h"
#include "protocol/config_block.h"
#include "support/sim_fixture.h"

namespace kestrel::test {
namespace {

using namespace std::chrono_literals;

class SimServerTest : public SimFixture {};

TEST_F(SimServerTest, AnswersTheHandshakeWithTheConfiguredText) {
    EXPECT_TRUE(connect_handshake());
    server_->set_handshake_reply("connectok");
    EXPECT_FALSE(connect_handshake());
    server_->set_handshake_reply("qconnectok");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(connect_handshake());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Chat end!\n");
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(server_->exchanges().back().kind, sim::Exchange::Kind::QuitAck);
}

TEST_F(SimServerTest, LostRequestHasNoEffectButLostReplyDoes) {
    sim::LinkFaults faults;
    faults.lose_request = 1.0;
    server_->set_faults(faults);
    EXPECT_FALSE(write_reg(0x0200, RegisterWord{1}));
    server_->set_faults(sim::LinkFaults{});
    RegisterWord w{};
    EXPECT_TRUE(read_reg(0x0200, w));
    EXPECT_EQ(w[0], 0);

    faults = sim::LinkFaults{};
    faults.lose_reply = 1.0;
    server_->set_faults(faults);
    EXPECT_FALSE(write_reg(0x0200, RegisterWord{2}));
    server_->set_faults(sim::LinkFaults{});
    EXPECT_TRUE(read_reg(0x0200, w));
    EXPECT_EQ(w[0], 2);
}

TEST_F(SimServerTest, NakRepliesCarryAnotherAcknowledgementByte) {
    sim::LinkFaults faults;
    faults.nak = 1.0;
    server_->set_faults(faults);
    RegisterWord w{};
    EXPECT_FALSE(read_reg(HOST_CTRL, w));
    EXPECT_EQ(traces_.count("READ Reg32, ACK error! "), 1);
}

TEST_F(SimServerTest, LateRepliesMissTheTimeOutAndAreDiscardedLater) {
    write_reg(0x0300, RegisterWord{0x11});
    sim::LinkFaults faults;
    faults.late_reply = 1.0;
    faults.late_reply_ms = 55;
    server_->set_faults(faults);
    RegisterWord w{};
    EXPECT_FALSE(read_reg(0x0300, w));
    server_->set_faults(sim::LinkFaults{});
    std::this_thread::sleep_for(30ms);
    write_reg(0x0300, RegisterWord{0x22});
    EXPECT_TRUE(read_reg(0x0300, w));
    EXPECT_EQ(w[0], 0x22);
    EXPECT_GE(link_stats().stale_discarded, 1u);
}

TEST_F(SimServerTest, RepliesFromTheOtherPortMoveTheLinkAndAreServedThere) {
    sim::LinkFaults faults;
    faults.other_port_reply = 1.0;
    server_->set_faults(faults);
    RegisterWord w{};
    EXPECT_TRUE(read_reg(HOST_CTRL, w));
    server_->set_faults(sim::LinkFaults{});
    EXPECT_TRUE(read_reg(HOST_CTRL, w));
    const auto log = registers();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].local_port, server_->port());
    EXPECT_EQ(log[1].local_port, server_->other_port());
}

TEST_F(SimServerTest, ForeignDatagramsNeverReplaceTheDevice) {
    write_reg(0x0400, RegisterWord{0x42});
    sim::LinkFaults faults;
    faults.foreign_datagram = 1.0;
    server_->set_faults(faults);
    for (int i = 0; i < 20; ++i) {
        RegisterWord w{};
        EXPECT_TRUE(read_reg(0x0400, w));
        EXPECT_EQ(w[0], 0x42);
    }
    EXPECT_EQ(ntohs(peer_address().port), server_->port());
}

TEST_F(SimServerTest, SameSeedDrawsTheSameFaults) {
    sim::LinkFaults faults;
    faults.seed = 7;
    faults.lose_request = 0.3;
    auto run = [&] {
        server_->set_faults(faults);
        server_->clear_exchanges();
        std::string pattern;
        for (int i = 0; i < 40; ++i)
            pattern += write_reg(0x0500, RegisterWord{}) ? '.' : 'x';
        return pattern;
    };
    const std::string first = run();
    EXPECT_EQ(first, run());
    EXPECT_NE(first.find('x'), std::string::npos);
    EXPECT_NE(first.find('.'), std::string::npos);
}

TEST_F(SimServerTest, CountsEveryRequestAndServesQuickly) {
    const sim::ServerCounters before = server_->counters();
    RegisterWord w{};
    for (int i = 0; i < 200; ++i)
        read_reg(0x0040, w);
    const sim::ServerCounters c = server_->counters();
    EXPECT_EQ(c.reads - before.reads, 200u);
    EXPECT_EQ(c.replies - before.replies, 200u);
    EXPECT_EQ(registers().size(), 200u);
    // A request is served in microseconds; allow a wide margin for sanitizer builds.
    ASSERT_GT(c.timed, 0u);
    EXPECT_LT(c.service_ns / c.timed, 200000u);
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

TEST(DevsimExecutable, HelpNamesTheListenOption) {
    int status = 0;
    const std::string out = run_command(std::string(KESTREL_DEVSIM_PATH) + " --help", &status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(out.find("--listen 127.0.0.1:5000"), std::string::npos) << out;
}

TEST(DevsimExecutable, RefusesUnknownOptions) {
    int status = 0;
    run_command(std::string(KESTREL_DEVSIM_PATH) + " --bogus 2>/dev/null", &status);
    EXPECT_EQ(WEXITSTATUS(status), 2);
}

TEST(DevsimExecutable, ServesUntilInterrupted) {
    const int probe = bind_loopback();
    const std::uint16_t port = local_port(probe);
    close(probe);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const std::string listen = "127.0.0.1:" + std::to_string(port);
        freopen("/dev/null", "w", stdout);
        execl(KESTREL_DEVSIM_PATH, KESTREL_DEVSIM_PATH, "--listen", listen.c_str(), "--mac",
              "02:00:00:00:00:07", nullptr);
        _exit(127);
    }
    ASSERT_TRUE(open_link("127.0.0.1", port));
    bool connected = false;
    for (int i = 0; i < 100 && !connected; ++i)
        connected = connect_handshake();
    EXPECT_TRUE(connected);
    std::array<std::uint8_t, 8> mac{};
    mailbox_read_block(6, kCfgMacOffset, mac);
    EXPECT_EQ(mac[0], 0x02);
    EXPECT_EQ(mac[5], 0x07);
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    close_link();
}

}  // namespace
}  // namespace kestrel::test
