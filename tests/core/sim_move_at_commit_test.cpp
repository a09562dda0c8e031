// The simulated device that takes its new address at the commit and stops answering at the old.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "device/config_commands.h"
#include "link/mailbox.h"
#include "protocol/config_block.h"
#include "support/sim_fixture.h"
#include "support/udp.h"

namespace kestrel::test {
namespace {

class MoveAtCommitSimTest : public SimFixture {
  protected:
    sim::ServerOptions options() override {
        sim::ServerOptions o;
        o.move_at_commit = true;
        return o;
    }
    // Writes 127.0.0.3 and a free port into the block and commits at the old address.
    std::uint16_t CommitNewAddress() {
        const std::uint16_t port = free_udp_port("127.0.0.3");
        const std::uint8_t ip[4] = {127, 0, 0, 3};
        const std::uint8_t be[2] = {static_cast<std::uint8_t>(port >> 8),
                                    static_cast<std::uint8_t>(port & 0xFF)};
        EXPECT_TRUE(mailbox_write_block(4, kCfgIpOffset, ip).ok());
        EXPECT_TRUE(mailbox_write_block(2, kCfgPortOffset, be).ok());
        (void)mailbox_commit();
        return port;
    }
};

TEST_F(MoveAtCommitSimTest, OldAddressFallsSilentAtTheCommitAndTheNewOneAnswers) {
    const std::uint16_t old_port = server_->port();
    const std::uint16_t new_port = CommitNewAddress();
    EXPECT_EQ(server_->address(), "127.0.0.3");
    EXPECT_EQ(server_->port(), new_port);
    EXPECT_EQ(device_.mailbox().commits(), 1);

    // The link still points at the old address: nothing answers there any more.
    RegisterWord w{};
    EXPECT_FALSE(read_reg(HOST_CTRL, w));
    EXPECT_EQ(last_exchange_status(), ExchangeStatus::NoReply);

    set_peer_address(ipv4_from_bytes(std::array<std::uint8_t, 4>{127, 0, 0, 3}.data()), new_port);
    server_->clear_exchanges();
    EXPECT_TRUE(read_reg(HOST_CTRL, w));
    ASSERT_FALSE(registers().empty());
    EXPECT_EQ(registers().back().local_port, new_port);
    EXPECT_NE(new_port, old_port);
}

TEST_F(MoveAtCommitSimTest, TheRequestThatCompletesTheCommitIsStillAnswered) {
    CommitNewAddress();
    // Every exchange up to and including the commit's hand-back came back acknowledged; only
    // the polls after it went unanswered.
    std::vector<sim::Exchange> all = registers();
    ASSERT_GE(all.size(), 2u);
    int unanswered = 0;
    for (const auto& ex : all)
        unanswered += ex.replied ? 0 : 1;
    EXPECT_EQ(unanswered, 0);  // the old socket never saw the later polls at all
    const auto& last = all.back();
    EXPECT_EQ(last.kind, sim::Exchange::Kind::Write);
    EXPECT_EQ(last.address, HOST_CTRL);
}

// kestrel-devsim with the given options on a free loopback port, interrupted when it goes.
class DevsimProcess {
  public:
    explicit DevsimProcess(std::vector<std::string> args) : port_(free_udp_port()) {
        args.insert(args.begin(),
                    {KESTREL_DEVSIM_PATH, "--listen", "127.0.0.1:" + std::to_string(port_)});
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            if (!freopen("/dev/null", "w", stdout)) _exit(126);
            execv(KESTREL_DEVSIM_PATH, argv.data());
            _exit(127);
        }
    }
    ~DevsimProcess() {
        close_link();
        if (pid_ > 0) {
            kill(pid_, SIGINT);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool connect() {
        if (!open_link("127.0.0.1", port_)) return false;
        for (int i = 0; i < 100; ++i) {
            if (connect_handshake()) return true;
        }
        return false;
    }

  private:
    std::uint16_t port_;
    pid_t pid_ = -1;
};

// The executable's option: with it Apply IP completes at the new address, without it at the
// old one; both end with the link pointed at the new address.
TEST(DevsimMoveAtCommitTest, OptionMakesTheCommitCompleteAtTheNewAddress) {
    SleepCounter sleeps;
    TraceCapture traces;
    for (bool moving : {true, false}) {
        SCOPED_TRACE(moving);
        DevsimProcess sim(moving ? std::vector<std::string>{"--move-at-commit"}
                                 : std::vector<std::string>{});
        ASSERT_TRUE(sim.connect());
        const std::uint16_t new_port = free_udp_port("127.0.0.3");
        const device::ApplyIpResult r = device::apply_ip_and_port(
            "127.0.0.3", {ipv4_from_bytes(std::array<std::uint8_t, 4>{127, 0, 0, 3}.data()),
                          device::Port::from(new_port).value()});
        EXPECT_TRUE(r.status.ok()) << r.status.reason();
        EXPECT_EQ(r.answered_at_new_address, moving);
        EXPECT_TRUE(r.link_followed);
        RegisterWord w{};
        EXPECT_TRUE(read_reg(HOST_CTRL, w));
    }
}

}  // namespace
}  // namespace kestrel::test
