// The configuration commands against the simulated device: exact mailbox traffic, traces,
// settings keys and group states.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <QFile>

#include "dialog_fixture.h"
#include "link/ipv4.h"
#include "link/mailbox.h"
#include "platform/format.h"

namespace kestrel {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::FieldWrite;

constexpr std::initializer_list<int> kIpGroup = {IDC_EDIT_NEW_IP, IDC_BUTTON_APPLY_IP,
                                                 IDC_EDIT_NEW_PORT};
constexpr std::initializer_list<int> kMacGroup = {
    1006, 1007, 1008, 1009, 1010, 1011, IDC_BUTTON_APPLY_MAC};
constexpr std::initializer_list<int> kTsGroup = {IDC_EDIT_TS_PORT, IDC_BUTTON_APPLY_TS_PORT};
constexpr std::initializer_list<int> kMulticastGroup = {IDC_EDIT_MULTICAST_IP,
                                                        IDC_BUTTON_APPLY_MULTICAST};

class ConfigCommandsTest : public test::DialogTest {
  protected:
    void SetUp() override {
        test::DialogTest::SetUp();
        StartDevice();
        ConnectToDevice();
    }
    void SetMac(const QStringList& fields) {
        for (int i = 0; i < 6; ++i)
            SetText(IDC_EDIT_MAC1 + i, fields[i]);
    }
    std::vector<int> All(std::initializer_list<int> ids) { return {ids}; }
};

TEST_F(ConfigCommandsTest, CheckBoxesOpenAndCloseTheirGroupsWithoutDeviceTraffic) {
    const std::vector<std::pair<int, std::initializer_list<int>>> groups = {
        {IDC_CHECK_NEW_IP, kIpGroup},
        {IDC_CHECK_NEW_MAC, kMacGroup},
        {IDC_CHECK_TS_PORT, kTsGroup}};
    for (const auto& [box, group] : groups) {
        SCOPED_TRACE(box);
        Click(box);
        EXPECT_TRUE(Check(box)->isChecked());
        EXPECT_EQ(EnabledOf(group), All(group));
        Click(box);
        EXPECT_EQ(EnabledOf(group), std::vector<int>{});
    }
    EXPECT_TRUE(server_->exchanges().empty());
    EXPECT_TRUE(traces_.lines().empty());
}

TEST_F(ConfigCommandsTest, ApplyIpWritesAddressThenPortCommitsOnceAndTheLinkFollows) {
    const std::uint16_t new_port = test::free_udp_port("127.0.0.3");
    const std::uint16_t old_port = server_->port();
    Click(IDC_CHECK_NEW_IP);
    SetText(IDC_EDIT_NEW_IP, "127.0.0.3");
    SetText(IDC_EDIT_NEW_PORT, QString::number(new_port));
    Click(IDC_BUTTON_APPLY_IP);

    EXPECT_EQ(FieldWrites(), (std::vector<FieldWrite>{
                                 {8, {127, 0, 0, 3}},
                                 {12, {std::uint8_t(new_port >> 8), std::uint8_t(new_port)}}}));
    EXPECT_EQ(Commits(), 1);
    EXPECT_EQ(ReadsOf(HOST_CTRL), 2);
    // The port traces come between the two ownership waits, as the port in hex and then its
    // network-order (byte-swapped) value. A port with equal bytes prints the same twice.
    EXPECT_EQ(traces_.lines(),
              (std::vector<std::string>{"new......", "127.0.0.3", "127.0.0.3",
                                        "host controled by udp_cmd !", format("%x", new_port),
                                        format("%x", (new_port >> 8) | ((new_port & 0xFF) << 8)),
                                        "host controled by udp_cmd !"}));

    EXPECT_EQ(Text(IDC_EDIT_SERVER_IP), "127.0.0.3");
    EXPECT_EQ(Text(IDC_EDIT_SERVER_PORT), QString::number(new_port));
    EXPECT_EQ(Setting("Server", "IP"), "127.0.0.3");
    EXPECT_EQ(Setting("Server", "Port"), std::to_string(new_port));
    EXPECT_EQ(EnabledOf(kIpGroup), std::vector<int>{});
    EXPECT_FALSE(Check(IDC_CHECK_NEW_IP)->isChecked());
    EXPECT_EQ(peer_address().addr, *parse_ipv4("127.0.0.3"));
    EXPECT_EQ(peer_address().port, htons(new_port));

    // The device moved on the commit; the next exchange reaches it there.
    EXPECT_EQ(server_->address(), "127.0.0.3");
    EXPECT_EQ(server_->port(), new_port);
    for (const auto& ex : Registers())
        EXPECT_EQ(ex.local_port, old_port);
    server_->clear_exchanges();
    Click(IDC_CHECK_MULTICAST);
    const auto after = Registers();
    ASSERT_FALSE(after.empty());
    for (const auto& ex : after)
        EXPECT_EQ(ex.local_port, new_port);
    EXPECT_EQ(FieldWrites(), (std::vector<FieldWrite>{{16, {1}}}));
}

TEST_F(ConfigCommandsTest, ApplyIpRefusesAnAddressThatDoesNotParse) {
    const PeerAddress before = peer_address();
    Click(IDC_CHECK_NEW_IP);
    for (const char* bad : {"300.1.2.3", "", "192.168.1.x", "10.1", "1", "127.0.0.1 junk",
                            "0x7f.0.0.1", " 127.0.0.1", "1.2.3.4.5", "1..2.3"}) {
        SCOPED_TRACE(bad);
        boxes_.clear();
        SetText(IDC_EDIT_NEW_IP, bad);
        SetText(IDC_EDIT_NEW_PORT, "5000");
        Click(IDC_BUTTON_APPLY_IP);
        EXPECT_EQ(boxes_, QStringList{"New IP: enter four numbers from 0 to 255 joined by dots, "
                                      "for example 192.168.1.20."});
        EXPECT_EQ(Dlg().focusWidget(), Edit(IDC_EDIT_NEW_IP));
    }
    for (const char* bad : {"0.0.0.0", "255.255.255.255", "224.0.0.1", "239.255.255.255"}) {
        SCOPED_TRACE(bad);
        boxes_.clear();
        SetText(IDC_EDIT_NEW_IP, bad);
        Click(IDC_BUTTON_APPLY_IP);
        ASSERT_EQ(boxes_.size(), 1);
        EXPECT_TRUE(boxes_[0].startsWith("New IP: 0.0.0.0, 255.255.255.255 and multicast"));
        EXPECT_TRUE(boxes_[0].contains("for example 192.168.1.20"));
    }
    boxes_.clear();
    SetText(IDC_EDIT_NEW_IP, "127.0.0.3");
    SetText(IDC_EDIT_NEW_PORT, "0");
    Click(IDC_BUTTON_APPLY_IP);
    EXPECT_EQ(boxes_, QStringList{"Port: enter a port from 1 to 65535, for example 5000."});
    EXPECT_EQ(Dlg().focusWidget(), Edit(IDC_EDIT_NEW_PORT));
    EXPECT_TRUE(server_->exchanges().empty());
    EXPECT_EQ(peer_address().addr, before.addr);
    EXPECT_EQ(peer_address().port, before.port);
    EXPECT_EQ(Setting("Server", "Port"), std::to_string(server_->port()));
    EXPECT_EQ(EnabledOf(kIpGroup), All(kIpGroup));
    EXPECT_TRUE(Check(IDC_CHECK_NEW_IP)->isChecked());
}

TEST_F(ConfigCommandsTest, ApplyMacWritesSixBytesAtZeroWithoutCommit) {
    const std::string settings = SettingsFileContent();
    {
        std::lock_guard<std::mutex> guard(server_->lock());
        device_.mailbox().hold_mailbox_for(2);
    }
    Click(IDC_CHECK_NEW_MAC);
    SetMac({"00", "1a", "2B", "3c", "4D", "5e"});
    Click(IDC_BUTTON_APPLY_MAC);

    EXPECT_EQ(FieldWrites(), (std::vector<FieldWrite>{{0, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}}}));
    EXPECT_EQ(Commits(), 0);
    EXPECT_EQ(traces_.lines(),
              (std::vector<std::string>{"001a2B3c4D5e", "00", "host controled by mcu!",
                                        "wait.........", "host controled by mcu!", "wait.........",
                                        "host controled by udp_cmd !"}));
    EXPECT_EQ(sleeps_.count(1000), 2);
    EXPECT_EQ(sleeps_.count(2), 0);
    {
        std::lock_guard<std::mutex> guard(server_->lock());
        EXPECT_EQ(device_.config().mac(),
                  (std::array<std::uint8_t, 6>{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}));
    }
    EXPECT_EQ(EnabledOf(kMacGroup), std::vector<int>{});
    EXPECT_FALSE(Check(IDC_CHECK_NEW_MAC)->isChecked());
    EXPECT_EQ(SettingsFileContent(), settings);
}

TEST_F(ConfigCommandsTest, ApplyMacRefusesAFieldThatIsNotTwoHexDigits) {
    Click(IDC_CHECK_NEW_MAC);
    const std::vector<std::pair<QStringList, QString>> cases = {
        {{"00", "11", "g2", "33", "44", "55"}, "MAC field 3"},
        {{"00", "11", "22", "33", "44", "5"}, "MAC field 6"},
        {{"", "11", "22", "33", "44", "55"}, "MAC field 1"},
    };
    for (const auto& [fields, name] : cases) {
        SCOPED_TRACE(name.toStdString());
        boxes_.clear();
        SetMac(fields);
        Click(IDC_BUTTON_APPLY_MAC);
        ASSERT_EQ(boxes_.size(), 1);
        EXPECT_TRUE(boxes_[0].startsWith(name + " ")) << boxes_[0].toStdString();
    }
    EXPECT_EQ(Dlg().focusWidget(), Edit(1006));
    EXPECT_TRUE(server_->exchanges().empty());
    EXPECT_EQ(EnabledOf(kMacGroup), All(kMacGroup));
}

TEST_F(ConfigCommandsTest, ApplyTsPortWritesBigEndianAtTwentyEightAndStoresTheTraceText) {
    Click(IDC_CHECK_TS_PORT);
    SetText(IDC_EDIT_TS_PORT, "5000");
    Click(IDC_BUTTON_APPLY_TS_PORT);
    EXPECT_EQ(FieldWrites(), (std::vector<FieldWrite>{{28, {0x13, 0x88}}}));
    EXPECT_EQ(Commits(), 1);
    EXPECT_EQ(traces_.lines().front(), "New TS port 5000");
    EXPECT_EQ(Setting("Server", "TS Port"), "New TS port 5000");
    EXPECT_EQ(Text(IDC_EDIT_TS_PORT), "5000");
    EXPECT_EQ(EnabledOf(kTsGroup), std::vector<int>{});
    EXPECT_FALSE(Check(IDC_CHECK_TS_PORT)->isChecked());
    std::lock_guard<std::mutex> guard(server_->lock());
    EXPECT_EQ(device_.config().ts_port(), 5000);
}

TEST_F(ConfigCommandsTest, ApplyTsPortAbove65535IsRefusedByTheRangeCheck) {
    Click(IDC_CHECK_TS_PORT);
    SetText(IDC_EDIT_TS_PORT, "70000");
    Click(IDC_BUTTON_APPLY_TS_PORT);
    EXPECT_EQ(boxes_, QStringList{"Enter an integer between 0 and 65535."});
    EXPECT_TRUE(server_->exchanges().empty());
    EXPECT_EQ(Setting("Server", "TS Port"), "");
    EXPECT_EQ(EnabledOf(kTsGroup), All(kTsGroup));
    EXPECT_EQ(Dlg().focusWidget(), Edit(IDC_EDIT_TS_PORT));
}

TEST_F(ConfigCommandsTest, MulticastBoxWritesTheEnableByteAtEveryClick) {
    SetText(IDC_EDIT_MULTICAST_IP, "239.7.7.7");
    Click(IDC_CHECK_MULTICAST);
    EXPECT_EQ(FieldWrites(), (std::vector<FieldWrite>{{16, {1}}}));
    EXPECT_EQ(Commits(), 1);
    EXPECT_EQ(FieldReads(), (std::vector<test::FieldRead>{{16, 1}}));
    EXPECT_EQ(traces_.lines().back(), "test read: 1");
    EXPECT_EQ(Text(IDC_EDIT_MULTICAST_IP), "");  // nothing stored under [Multcast] yet
    EXPECT_EQ(EnabledOf(kMulticastGroup), All(kMulticastGroup));
    // No ownership wait: HOST_CTRL is read once, by the probe that confirms the byte read back.
    EXPECT_EQ(ReadsOf(HOST_CTRL), 1);

    WriteProfileValue("Multcast", "IP", "239.9.9.9", SettingsFilePath());
    Click(IDC_CHECK_MULTICAST);
    Click(IDC_CHECK_MULTICAST);
    EXPECT_EQ(Text(IDC_EDIT_MULTICAST_IP), "239.9.9.9");
    EXPECT_EQ(FieldWrites(), (std::vector<FieldWrite>{{16, {1}}, {16, {0}}, {16, {1}}}));
    EXPECT_EQ(Commits(), 3);
    EXPECT_EQ(traces_.count("test read: 0"), 1);
    Click(IDC_CHECK_MULTICAST);
    EXPECT_EQ(EnabledOf(kMulticastGroup), std::vector<int>{});
    EXPECT_EQ(Dlg().m_strMulticastIP, "");
}

TEST_F(ConfigCommandsTest, ApplyMulticastWritesTheAddressAndStoresItsDottedForm) {
    Click(IDC_CHECK_MULTICAST);
    server_->clear_exchanges();
    traces_.clear();
    // Leading zeros are decimal: 010 is ten, never eight.
    SetText(IDC_EDIT_MULTICAST_IP, "239.001.001.010");
    Click(IDC_BUTTON_APPLY_MULTICAST);
    EXPECT_EQ(FieldWrites(), (std::vector<FieldWrite>{{24, {0xEF, 0x01, 0x01, 0x0A}}}));
    EXPECT_EQ(Commits(), 1);
    EXPECT_EQ(traces_.lines(),
              (std::vector<std::string>{"multcast ip......", "239.001.001.010", "239.1.1.10",
                                        "host controled by udp_cmd !"}));
    EXPECT_EQ(Setting("Multcast", "IP"), "239.1.1.10");
    EXPECT_EQ(Setting("Server", "IP"), "127.0.0.1");
    EXPECT_EQ(Text(IDC_EDIT_MULTICAST_IP), "239.001.001.010");
    EXPECT_EQ(Text(IDC_STATIC_STATUS), "OK!");
    EXPECT_EQ(EnabledOf(kMulticastGroup), All(kMulticastGroup));
    EXPECT_TRUE(Check(IDC_CHECK_MULTICAST)->isChecked());
}

TEST_F(ConfigCommandsTest, ApplyMulticastRefusesAnAddressThatDoesNotParse) {
    Click(IDC_CHECK_MULTICAST);
    server_->clear_exchanges();
    for (const char* bad : {"not-an-address", "239.1.257", "192.168.1.20", "240.0.0.1",
                            "223.255.255.255", "239.1.1.1 "}) {
        SCOPED_TRACE(bad);
        boxes_.clear();
        SetText(IDC_EDIT_MULTICAST_IP, bad);
        Click(IDC_BUTTON_APPLY_MULTICAST);
        EXPECT_EQ(boxes_, QStringList{"Multicast IP: enter a multicast address from 224.0.0.0 to "
                                      "239.255.255.255, for example 239.1.1.1."});
        EXPECT_EQ(Dlg().focusWidget(), Edit(IDC_EDIT_MULTICAST_IP));
    }
    EXPECT_TRUE(server_->exchanges().empty());
    EXPECT_EQ(Setting("Multcast", "IP"), "");
}

TEST_F(ConfigCommandsTest, FailedPullStopsEveryCommand) {
    for (int box : {IDC_CHECK_NEW_IP, IDC_CHECK_NEW_MAC, IDC_CHECK_TS_PORT})
        Click(box);
    SetText(IDC_EDIT_NEW_IP, "127.0.0.1");
    SetMac({"00", "11", "22", "33", "44", "55"});
    SetText(IDC_EDIT_MULTICAST_IP, "239.1.1.1");
    EXPECT_EQ(EnabledOf({IDC_BUTTON_APPLY_MULTICAST}), std::vector<int>{});
    EnableDlgItem(&Dlg(), IDC_BUTTON_APPLY_MULTICAST, true);
    const std::string settings = SettingsFileContent();
    SetText(IDC_EDIT_SERVER_PORT, "abc");
    for (int button : {IDC_BUTTON_START, IDC_BUTTON_APPLY_IP, IDC_BUTTON_APPLY_MAC,
                       IDC_BUTTON_APPLY_TS_PORT, IDC_BUTTON_APPLY_MULTICAST}) {
        SCOPED_TRACE(button);
        boxes_.clear();
        Click(button);
        EXPECT_EQ(boxes_, QStringList{"Enter an integer."});
    }
    EXPECT_TRUE(server_->exchanges().empty());
    EXPECT_TRUE(traces_.lines().empty());
    EXPECT_EQ(SettingsFileContent(), settings);
    EXPECT_EQ(EnabledOf(kIpGroup), All(kIpGroup));
    EXPECT_EQ(EnabledOf(kMacGroup), All(kMacGroup));
    EXPECT_EQ(EnabledOf(kTsGroup), All(kTsGroup));
    for (int box : {IDC_CHECK_NEW_IP, IDC_CHECK_NEW_MAC, IDC_CHECK_TS_PORT}) {
        EXPECT_TRUE(Check(box)->isChecked());
    }
}

}  // namespace
}  // namespace kestrel
