// kestrelctl scan against simulators bound to 127.0.0.x on loopback and one bound socket that
// never answers; no datagram leaves the machine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/address_range.h"
#include "cli_fixture.h"
#include "support/udp.h"

namespace kestrel::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// A UDP socket bound to address:port that takes datagrams and never answers.
class SilentSocket {
  public:
    SilentSocket(const char* address, std::uint16_t port) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        inet_aton(address, &sa.sin_addr);
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    }
    ~SilentSocket() { ::close(fd_); }
    bool bound() const { return bound_; }
    // The datagrams that arrived, drained.
    int received() {
        char buf[128];
        int n = 0;
        while (::recv(fd_, buf, sizeof buf, MSG_DONTWAIT) >= 0)
            ++n;
        return n;
    }

  private:
    int fd_;
    bool bound_ = false;
};

class ScanTest : public CliFixture {
  protected:
    // Another simulated device on address, at the fixture device's port.
    void add_device(const char* address, std::uint8_t mac_last) {
        auto device = std::make_unique<sim::Device>();
        device->config().set_mac({0x02, 0x00, 0x00, 0x00, 0x00, mac_last});
        sim::ServerOptions o;
        o.address = address;
        o.port = server_->port();
        auto server = std::make_unique<sim::Server>(*device, o);
        ASSERT_TRUE(server->start()) << address;
        devices_.push_back(std::move(device));
        servers_.push_back(std::move(server));
    }
    void TearDown() override {
        for (auto& s : servers_)
            s->stop();
        CliFixture::TearDown();
    }
    std::string port_text() { return std::to_string(server_->port()); }

    std::vector<std::unique_ptr<sim::Device>> devices_;
    std::vector<std::unique_ptr<sim::Server>> servers_;
};

TEST_F(ScanTest, ListsTheThreeDevicesOfASlash28AndNotTheSilentSocket) {
    device_.config().set_mac({0x02, 0x00, 0x00, 0x00, 0x00, 0x01});
    add_device("127.0.0.2", 0x02);
    add_device("127.0.0.3", 0x03);
    SilentSocket silent("127.0.0.4", server_->port());
    ASSERT_TRUE(silent.bound());

    const CliRun r =
        run({"scan", "127.0.0.0/28", "--port", port_text(), "--timeout", "300"}, false);
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string p = ":" + port_text();
    EXPECT_THAT(r.out, HasSubstr("127.0.0.1" + p));
    EXPECT_THAT(r.out, HasSubstr("02:00:00:00:00:01"));
    EXPECT_THAT(r.out, HasSubstr("127.0.0.2" + p));
    EXPECT_THAT(r.out, HasSubstr("02:00:00:00:00:02"));
    EXPECT_THAT(r.out, HasSubstr("127.0.0.3" + p));
    EXPECT_THAT(r.out, HasSubstr("02:00:00:00:00:03"));
    EXPECT_THAT(r.out, HasSubstr("c22016"));
    EXPECT_THAT(r.out, Not(HasSubstr("127.0.0.4" + p)));
    EXPECT_THAT(r.out, HasSubstr("3 of 14 addresses answered (127.0.0.1 to 127.0.0.14, port " +
                                 port_text() + ")"));
    EXPECT_EQ(silent.received(), 1);  // probed once, with the handshake only
}

TEST_F(ScanTest, JsonGivesOneObjectPerDeviceThenTheSummary) {
    add_device("127.0.0.2", 0x22);
    const CliRun r =
        run({"--json", "scan", "127.0.0.1-3", "--port", port_text(), "--timeout", "200", "-j", "1"},
            false);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3);
    EXPECT_THAT(r.out, HasSubstr("{\"device\":\"127.0.0.2:" + port_text() +
                                 "\",\"mac\":\"02:00:00:00:00:22\","));
    EXPECT_THAT(r.out, HasSubstr("\"ts_port\":"));
    EXPECT_THAT(r.out, HasSubstr("\"flash_id\":\"c22016\"}"));
    EXPECT_THAT(r.out, HasSubstr("\"command\":\"scan\",\"ok\":true,\"probed\":3,\"found\":2"));
}

TEST_F(ScanTest, NoAnswerExitsThreeAndNamesTheRange) {
    SilentSocket silent("127.0.0.21", server_->port());
    const CliRun r =
        run({"scan", "127.0.0.20-22", "--port", port_text(), "--timeout", "100"}, false);
    EXPECT_EQ(r.code, 3);
    EXPECT_THAT(r.err,
                HasSubstr("kestrelctl scan: no device answered at 127.0.0.20 to 127.0.0.22, port " +
                          port_text()));
}

TEST_F(ScanTest, BadOrHugeRangesExitTwoAndSendNothing) {
    SilentSocket silent("127.0.0.9", 5000);
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"scan", "127.0.0.0/19"},
                                               {"scan", "127.0.0.0/33"},
                                               {"scan", "127.0.0.9-3"},
                                               {"scan", "127.0.0.9-256"},
                                               {"scan", "localhost"},
                                               {"scan", "127.0.0.9", "--port", "0"},
                                               {"scan", "127.0.0.9", "-j", "0"},
                                               {"scan", "127.0.0.9", "--timeout", "x"}}) {
        const CliRun r = run(args, false);
        EXPECT_EQ(r.code, 2) << ::testing::PrintToString(args);
    }
    EXPECT_THAT(run({"scan", "127.0.0.0/19"}, false).err,
                HasSubstr("holds 8190 addresses, more than 4096; narrow it or add --force"));
    EXPECT_THAT(run({"scan", "127.0.0.9", "--port", "5\x1b[2J"}, false).err,
                HasSubstr("--port \"5\\x1b[2J\" is not a port 1 to 65535"));
    EXPECT_EQ(silent.received(), 0);
}

TEST(AddressRange, BlocksUpToSlash30LeaveOutTheirNetworkAndBroadcastAddress) {
    const auto count_from = [&](const char* text) {
        const auto r = cli::parse_address_range(text);
        return r ? cli::dotted(r->first) + " x" + std::to_string(r->count)
                 : "refused: " + r.reason();
    };
    EXPECT_EQ(count_from("10.1.2.77/30"), "10.1.2.77 x2");
    EXPECT_EQ(count_from("10.1.2.77/31"), "10.1.2.76 x2");
    EXPECT_EQ(count_from("10.1.2.77/32"), "10.1.2.77 x1");
    EXPECT_EQ(count_from("10.1.0.0/16"), "10.1.0.1 x65534");
    EXPECT_EQ(count_from("10.1.2.250-255"), "10.1.2.250 x6");
    EXPECT_EQ(count_from("10.1.2.7"), "10.1.2.7 x1");
    EXPECT_THAT(count_from("10.1.2.7-"),
                HasSubstr("refused: scan: \"10.1.2.7-\" is not A.B.C.D/N"));
    EXPECT_THAT(count_from("10.1.2.9-3"), HasSubstr("the last number is below the first"));
    // An argument is shown escaped, so a typed escape sequence never reaches the terminal.
    EXPECT_THAT(count_from("10.1.2.7\x1b[2J"), HasSubstr("\"10.1.2.7\\x1b[2J\" is not"));
}

}  // namespace
}  // namespace kestrel::test
