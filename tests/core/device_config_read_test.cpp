// Reading the configuration block: only bytes that arrived clean are given, a lost read is made
// again, and a silent device ends the read within a few exchanges.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "device/config_read.h"
#include "link/mailbox.h"
#include "support/sim_fixture.h"

namespace kestrel::test {
namespace {

using device::DeviceConfig;

constexpr device::Mac kMac{0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6};

class DeviceConfigReadTest : public SimFixture {
  protected:
    void SetUp() override {
        SimFixture::SetUp();
        std::lock_guard<std::mutex> guard(server_->lock());
        sim::ConfigBlock& cfg = device_.config();
        cfg.set_mac(kMac);
        cfg.set_ip_net(ipv4_from_bytes(ip_.data()));
        cfg.set_port(0x1F90);
        cfg.set_ts_port(0x1234);
        cfg.set_multicast_enable(1);
        cfg.set_multicast_ip_net(ipv4_from_bytes(mcast_.data()));
    }
    void SetFaults(const sim::LinkFaults& f) { server_->set_faults(f); }

    std::array<std::uint8_t, 4> ip_{10, 20, 30, 40};
    std::array<std::uint8_t, 4> mcast_{239, 9, 8, 7};
};

TEST_F(DeviceConfigReadTest, CleanReadGivesEveryFieldOnce) {
    const device::ConfigReadResult r = device::read_device_config();
    EXPECT_TRUE(r.status().ok()) << r.status().reason();
    EXPECT_EQ(r.block_reads, 6);
    EXPECT_EQ(r.config.mac, kMac);
    EXPECT_EQ(r.config.ip, ipv4_from_bytes(ip_.data()));
    EXPECT_EQ(r.config.port, 8080);
    EXPECT_EQ(r.config.ts_port, 0x1234);
    EXPECT_EQ(r.config.multicast_enable, 1);
    EXPECT_EQ(r.config.multicast_ip, ipv4_from_bytes(mcast_.data()));
    EXPECT_THAT(traces_.lines(), ::testing::ElementsAre(" multcast en =============", "239.9.8.7"));
}

TEST_F(DeviceConfigReadTest, MulticastAddressIsReadOnlyWhenEnabled) {
    {
        std::lock_guard<std::mutex> guard(server_->lock());
        device_.config().set_multicast_enable(2);
    }
    const device::ConfigReadResult r = device::read_device_config();
    EXPECT_TRUE(r.status().ok()) << r.status().reason();
    EXPECT_EQ(r.block_reads, 5);
    EXPECT_EQ(r.config.multicast_enable, 2);
    EXPECT_EQ(r.config.multicast_ip, std::nullopt);
    EXPECT_TRUE(traces_.lines().empty());
}

// Lost replies and lost requests (a lost read command leaves the previous field's bytes in
// HOST_DATA) must never come out as the device's values.
TEST_F(DeviceConfigReadTest, LossyLinkNeverGivesAValueTheDeviceDidNotSend) {
    int repeated = 0;
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(seed);
        sim::LinkFaults f;
        f.seed = seed;
        f.lose_reply = 0.1;
        f.lose_request = 0.05;
        SetFaults(f);
        const device::ConfigReadResult r = device::read_device_config();
        const DeviceConfig& c = r.config;
        // A field that did not arrive is empty; one that did must be the device's.
        EXPECT_EQ(c.mac.value_or(kMac), kMac);
        EXPECT_EQ(c.ip.value_or(0x28'1E'14'0A), 0x28'1E'14'0Au);  // 10.20.30.40
        EXPECT_EQ(c.port.value_or(8080), 8080);
        EXPECT_EQ(c.ts_port.value_or(0x1234), 0x1234);
        EXPECT_EQ(c.multicast_enable.value_or(1), 1);
        EXPECT_EQ(c.multicast_ip.value_or(0x07'08'09'EF), 0x07'08'09'EFu);  // 239.9.8.7
        EXPECT_FALSE(r.device_silent);
        EXPECT_LE(r.block_reads, 6 * (1 + device::kFieldReadRepeats));
        repeated += r.block_reads > 6 ? 1 : 0;
    }
    EXPECT_GT(repeated, 0);  // the faults did hit reads, and they were made again
    // Once the faults stop, the link is in step again and every field arrives.
    SetFaults(sim::LinkFaults{});
    const device::ConfigReadResult clean = device::read_device_config();
    EXPECT_TRUE(clean.status().ok());
    EXPECT_EQ(clean.config.mac, kMac);
}

TEST_F(DeviceConfigReadTest, TaskThatNeverCompletesLeavesEveryFieldEmpty) {
    {
        std::lock_guard<std::mutex> guard(server_->lock());
        device_.mailbox().set_task_never_done(true);
    }
    const device::ConfigReadResult r = device::read_device_config();
    EXPECT_EQ(r.status().code(), StatusCode::NotAcknowledged);
    EXPECT_FALSE(r.device_silent);
    EXPECT_EQ(r.block_reads, 5 * (1 + device::kFieldReadRepeats));
    EXPECT_FALSE(r.config.mac || r.config.ip || r.config.port || r.config.ts_port ||
                 r.config.multicast_enable || r.config.multicast_ip);
}

TEST_F(DeviceConfigReadTest, SilentDeviceEndsTheReadAfterSixExchanges) {
    sim::LinkFaults f;
    f.lose_request = 1.0;
    SetFaults(f);
    const std::uint64_t before = server_->counters().requests;
    const device::ConfigReadResult r = device::read_device_config();
    EXPECT_TRUE(r.device_silent);
    EXPECT_EQ(r.status().code(), StatusCode::NoAnswer);
    EXPECT_EQ(r.block_reads, 1);
    EXPECT_EQ(server_->counters().requests - before, 6u);
    EXPECT_THAT(sleeps_.sleeps(), ::testing::ElementsAre(30, 30));
    EXPECT_EQ(traces_.count("mailbox : no answer from the device, giving up"), 1);
}

}  // namespace
}  // namespace kestrel::test
