// The configuration commands of the device layer: what they report, where they stop, and how
// Apply IP follows a device that moves at its commit.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "device/config_commands.h"
#include "link/mailbox.h"
#include "support/sim_fixture.h"
#include "support/udp.h"

namespace kestrel::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;

Ipv4Net ip_of(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    const std::uint8_t bytes[4] = {a, b, c, d};
    return ipv4_from_bytes(bytes);
}

device::Ipv4Endpoint endpoint(Ipv4Net address, std::uint16_t port) {
    return {address, device::Port::from(port).value()};
}

class DeviceCommandsTest : public SimFixture {
  protected:
    std::uint64_t Requests() { return server_->counters().requests; }
    void Silence() {
        sim::LinkFaults f;
        f.lose_request = 1.0;
        server_->set_faults(f);
    }
    int Commits() {
        std::lock_guard<std::mutex> guard(server_->lock());
        return device_.mailbox().commits();
    }
};

TEST_F(DeviceCommandsTest, ApplyTsPortWritesCommitsAndReportsAcknowledged) {
    const Status r = device::apply_ts_port(5000);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.reason(), "");
    EXPECT_THAT(traces_.lines(), ElementsAre("New TS port 5000", "host controled by udp_cmd !"));
    EXPECT_EQ(device_.config().ts_port(), 5000);
    EXPECT_EQ(Commits(), 1);
}

// The trace shows the pairs as they were typed, case and all; the device gets the bytes.
TEST_F(DeviceCommandsTest, ApplyMacTracesThePairsAsTypedAndWritesTheBytes) {
    const device::Mac mac{0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    const Status r = device::apply_mac(mac, "021A2b3C4d5e");
    EXPECT_TRUE(r.ok()) << r.reason();
    EXPECT_THAT(traces_.lines(), ElementsAre("021A2b3C4d5e", "02", "host controled by udp_cmd !"));
    EXPECT_EQ(device_.config().mac(), mac);
    EXPECT_EQ(Commits(), 0);
}

TEST_F(DeviceCommandsTest, MulticastEnableTracesTheByteReadBack) {
    const device::MulticastEnableResult r = device::set_multicast_enable(true);
    EXPECT_TRUE(r.status.ok());
    EXPECT_EQ(r.read_back, 1);
    EXPECT_THAT(traces_.lines(), ElementsAre("test read: 1"));
    // No ownership wait: the enable byte is the first thing sent (HOST_CTRL is read later only
    // by the link's probes).
    const auto regs = registers();
    ASSERT_FALSE(regs.empty());
    EXPECT_EQ(regs.front().kind, sim::Exchange::Kind::Write);
    EXPECT_EQ(regs.front().address, HOST_DATA);
}

// The first field write times out in the device (its task never completes): nothing after it
// is written and nothing is committed, so the device never applies a half-made change.
TEST_F(DeviceCommandsTest, ApplyIpStopsBeforeTheCommitWhenAFieldWriteFails) {
    device_.mailbox().set_task_never_done(true);
    const PeerAddress before = peer_address();
    const device::ApplyIpResult r =
        device::apply_ip_and_port("127.0.0.3", endpoint(ip_of(127, 0, 0, 3), 5000));
    EXPECT_EQ(r.status.code(), StatusCode::NotAcknowledged);
    EXPECT_FALSE(r.link_followed);
    EXPECT_EQ(r.status.reason(), "ip write not acknowledged");
    EXPECT_THAT(traces_.lines(), Contains("apply ip : stopped, ip write not acknowledged"));
    EXPECT_EQ(writes_to(HOST_CMD).size(), 1u);  // the ip chunk only: no port, no commit
    EXPECT_EQ(Commits(), 0);
    EXPECT_EQ(peer_address().addr, before.addr);
    EXPECT_EQ(peer_address().port, before.port);
}

TEST_F(DeviceCommandsTest, OwnershipReadsThatAreRefusedMeanTheOwnerIsUnknown) {
    sim::LinkFaults f;
    f.nak = 1.0;
    server_->set_faults(f);
    const Status r = device::apply_ts_port(5000);
    EXPECT_EQ(r.code(), StatusCode::NotAcknowledged);
    // Three ownership reads, each refused, and the link's probes between them.
    EXPECT_LE(reads_of(HOST_CTRL), 2 * kOwnershipUnknownReads);
    EXPECT_TRUE(sleeps_.sleeps().empty());
    EXPECT_EQ(traces_.count("host controled by udp_cmd !"), 0);
    EXPECT_EQ(traces_.count("[host_controled_by] no clean answer, owner unknown"), 1);
    EXPECT_TRUE(writes_to(HOST_CMD).empty());
}

// Nothing answers: each command stops within a few exchanges, without the 1000 ms ownership
// rounds or the 200 completion polls, and says the device was silent.
TEST_F(DeviceCommandsTest, SilentDeviceStopsEveryCommandWithinAFewExchanges) {
    Silence();
    struct Case {
        const char* name;
        std::function<Status()> run;
    };
    const std::vector<Case> cases = {
        {"apply ip",
         [] {
             return device::apply_ip_and_port("10.0.0.9", endpoint(ip_of(10, 0, 0, 9), 5000))
                 .status;
         }},
        {"apply mac",
         [] {
             return device::apply_mac({0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, "001122334455");
         }},
        {"apply ts port", [] { return device::apply_ts_port(1234); }},
        {"multicast enable", [] { return device::set_multicast_enable(true).status; }},
        {"apply multicast ip",
         [] { return device::apply_multicast_ip("239.1.1.1", ip_of(239, 1, 1, 1)); }},
    };
    const PeerAddress before = peer_address();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        traces_.clear();
        sleeps_.clear();
        const std::uint64_t requests = Requests();
        const Status r = c.run();
        EXPECT_EQ(r.code(), StatusCode::NoAnswer);
        EXPECT_EQ(r.reason(), "no answer from the device");
        EXPECT_LE(Requests() - requests, static_cast<std::uint64_t>(kSilentGiveUp));
        EXPECT_EQ(sleeps_.count(1000), 0);
        EXPECT_LE(sleeps_.count(30), 2);
        EXPECT_EQ(traces_.lines().back(),
                  std::string(c.name) + " : stopped, no answer from the device");
    }
    EXPECT_EQ(peer_address().addr, before.addr);
    EXPECT_EQ(peer_address().port, before.port);
}

TEST_F(DeviceCommandsTest, CommandsWithoutALinkSendNothingAndStopAtOnce) {
    close_link();
    const std::uint64_t requests = Requests();
    const Status r = device::apply_ts_port(1234);
    EXPECT_EQ(r.code(), StatusCode::NoAnswer);
    EXPECT_EQ(Requests(), requests);
    EXPECT_TRUE(sleeps_.sleeps().empty());
}

class MovingDeviceTest : public DeviceCommandsTest {
  protected:
    sim::ServerOptions options() override {
        sim::ServerOptions o;
        o.move_at_commit = true;
        return o;
    }
};

TEST_F(MovingDeviceTest, ApplyIpFollowsTheDeviceToItsNewAddressDuringTheCommit) {
    const std::uint16_t new_port = free_udp_port("127.0.0.3");
    const std::uint16_t old_port = server_->port();
    const device::ApplyIpResult r =
        device::apply_ip_and_port("127.0.0.3", endpoint(ip_of(127, 0, 0, 3), new_port));
    EXPECT_TRUE(r.status.ok()) << r.status.reason();
    EXPECT_TRUE(r.answered_at_new_address);
    EXPECT_TRUE(r.link_followed);
    EXPECT_EQ(peer_address().addr, ip_of(127, 0, 0, 3));
    EXPECT_EQ(peer_address().port, htons(new_port));
    EXPECT_EQ(Commits(), 1);
    EXPECT_EQ(sleeps_.count(1000), 0);
    // The commit's last polls were answered at the new port.
    const auto all = registers();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.back().local_port, new_port);
    EXPECT_EQ(all.front().local_port, old_port);
    RegisterWord w{};
    EXPECT_TRUE(read_reg(HOST_CTRL, w));
}

TEST_F(DeviceCommandsTest, ApplyIpAtADeviceThatKeepsItsOldSocketCompletesThere) {
    const std::uint16_t new_port = free_udp_port("127.0.0.3");
    const device::ApplyIpResult r =
        device::apply_ip_and_port("127.0.0.3", endpoint(ip_of(127, 0, 0, 3), new_port));
    EXPECT_TRUE(r.status.ok()) << r.status.reason();
    EXPECT_FALSE(r.answered_at_new_address);
    EXPECT_TRUE(r.link_followed);
    EXPECT_EQ(peer_address().port, htons(new_port));
}

}  // namespace
}  // namespace kestrel::test
