// The Start press against the simulated device: handshake, status text and the display of the
// configuration block.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <chrono>
#include <thread>

#include "dialog_fixture.h"
#include "link/ipv4.h"
#include "link/mailbox.h"

namespace kestrel {
namespace {

class StartTest : public test::DialogTest {
  protected:
    void SetUp() override {
        test::DialogTest::SetUp();
        sim::ConfigBlock& cfg = device_.config();
        cfg.set_mac({0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E});
        cfg.set_ip_net(*parse_ipv4("127.0.0.1"));
        cfg.set_port(0x1F90);
        cfg.set_ts_port(5000);
        cfg.set_multicast_enable(1);
        cfg.set_multicast_ip_net(*parse_ipv4("239.1.2.3"));
        StartDevice();
    }
    void PressStart(const QString& ip, const QString& port) {
        SetText(IDC_EDIT_SERVER_IP, ip);
        SetText(IDC_EDIT_SERVER_PORT, port);
        Click(IDC_BUTTON_START);
    }
    QString Port() { return QString::number(server_->port()); }
    // The "q" answers the simulator has recorded, waiting up to 2 s for `expected` of them: the
    // press may end before the simulator's thread has taken the last datagram.
    int QuitAcks(int expected) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        for (;;) {
            int n = 0;
            for (const auto& ex : server_->exchanges())
                n += ex.kind == sim::Exchange::Kind::QuitAck;
            if (n >= expected || std::chrono::steady_clock::now() > deadline) return n;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    void SetMulticastEnable(std::uint8_t value) {
        std::lock_guard<std::mutex> guard(server_->lock());
        device_.config().set_multicast_enable(value);
    }
};

TEST_F(StartTest, ShowsOkAndTheDeviceConfigurationReadFieldByField) {
    PressStart("127.0.0.1", Port());
    EXPECT_EQ(Text(IDC_STATIC_STATUS), "OK!");
    const QStringList mac{"00", "1a", "2b", "3c", "4d", "5e"};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(Text(IDC_EDIT_MAC1 + i), mac[i]);
    EXPECT_EQ(Text(IDC_EDIT_NEW_IP), "127.0.0.1");
    EXPECT_EQ(Text(IDC_EDIT_NEW_PORT), "8080");
    EXPECT_EQ(Text(IDC_EDIT_TS_PORT), "5000");
    EXPECT_EQ(Text(IDC_EDIT_SERVER_PORT), Port());
    EXPECT_TRUE(Check(IDC_CHECK_MULTICAST)->isChecked());
    EXPECT_EQ(Text(IDC_EDIT_MULTICAST_IP), "239.1.2.3");
    EXPECT_EQ(Dlg().m_strMulticastIP, "239.1.2.3");
    EXPECT_EQ(EnabledOf({IDC_EDIT_MULTICAST_IP, IDC_BUTTON_APPLY_MULTICAST, IDC_EDIT_NEW_IP,
                         IDC_EDIT_NEW_PORT, IDC_EDIT_TS_PORT, 1006}),
              (std::vector<int>{IDC_EDIT_MULTICAST_IP, IDC_BUTTON_APPLY_MULTICAST}));

    EXPECT_EQ(FieldReads(),
              (std::vector<test::FieldRead>{{0, 6}, {8, 4}, {12, 2}, {28, 2}, {16, 1}, {24, 4}}));
    EXPECT_EQ(FieldWrites(), std::vector<test::FieldWrite>{});
    EXPECT_EQ(Commits(), 0);
    // No ownership wait: HOST_CTRL is read only by the probe that confirms each field.
    EXPECT_EQ(ReadsOf(HOST_CTRL), 6);
    EXPECT_EQ(traces_.count(" multcast en ============="), 1);
    EXPECT_EQ(traces_.count("239.1.2.3"), 1);
    EXPECT_EQ(traces_.count("127.0.0.1"), 1);  // the server address, from opening the link
    EXPECT_EQ(Setting("Server", "IP"), "127.0.0.1");
    EXPECT_EQ(Setting("Server", "Port"), Port().toStdString());
}

TEST_F(StartTest, StoresThePortAsTheIntegerThePullParsed) {
    PressStart("127.0.0.1", "00" + Port() + "x");
    EXPECT_EQ(Text(IDC_STATIC_STATUS), "OK!");
    EXPECT_EQ(Setting("Server", "Port"), Port().toStdString());
    EXPECT_EQ(Text(IDC_EDIT_SERVER_PORT), Port());
}

TEST_F(StartTest, PastedLinesAfterTheServerAddressNeverReachTheSettingsFile) {
    SetText(IDC_EDIT_SERVER_PORT, Port());
    QApplication::clipboard()->setText("127.0.0.1\n[Multcast]\nIP=6.6.6.6\n[Server]\nPort=1");
    Edit(IDC_EDIT_SERVER_IP)->paste();
    Click(IDC_BUTTON_START);
    EXPECT_EQ(Text(IDC_STATIC_STATUS), "OK!");
    EXPECT_EQ(Text(IDC_EDIT_SERVER_IP), "127.0.0.1");
    EXPECT_EQ(SettingsFileContent(), "[Server]\nIP=127.0.0.1\nPort=" + Port().toStdString() + "\n");
}

TEST_F(StartTest, HandshakeNeedsConnectokAfterTheFirstCharacter) {
    const std::vector<std::pair<std::string, QString>> cases = {
        {"*connectok", "OK!"},    {"xyzconnectok", "OK!"},           {"qconnectok", "OK!"},
        {"connectok", "Failed!"}, {"connectokconnectok", "Failed!"}, {"connect ok", "Failed!"},
        {"q", "Failed!"}};
    for (const auto& [reply, status] : cases) {
        SCOPED_TRACE(reply);
        server_->set_handshake_reply(reply);
        server_->clear_exchanges();
        PressStart("127.0.0.1", Port());
        EXPECT_EQ(Text(IDC_STATIC_STATUS), status);
        EXPECT_EQ(QuitAcks(reply[0] == 'q' ? 1 : 0), reply[0] == 'q' ? 1 : 0);
        EXPECT_EQ(FieldReads().empty(), status == "Failed!");
    }
}

TEST_F(StartTest, NoReplyFailsAndAFailureKeepsTheFieldsShownBefore) {
    PressStart("127.0.0.1", Port());
    ASSERT_EQ(Text(IDC_STATIC_STATUS), "OK!");
    PressStart("127.0.0.1", QString::number(test::free_udp_port("127.0.0.1")));
    EXPECT_EQ(Text(IDC_STATIC_STATUS), "Failed!");
    EXPECT_EQ(Text(1007), "1a");
    EXPECT_EQ(Text(IDC_EDIT_TS_PORT), "5000");
    EXPECT_TRUE(Check(IDC_CHECK_MULTICAST)->isChecked());
}

TEST_F(StartTest, InvalidServerPortStopsThePressBeforeAnythingIsSavedOrSent) {
    PressStart("127.0.0.1", "");
    EXPECT_EQ(boxes_, QStringList{"Enter an integer."});
    PressStart("127.0.0.1", "70000");
    EXPECT_EQ(boxes_, (QStringList{"Enter an integer.", "Enter an integer between 0 and 65535."}));
    EXPECT_EQ(Dlg().focusWidget(), Edit(IDC_EDIT_SERVER_PORT));
    EXPECT_EQ(Text(IDC_STATIC_STATUS), "");
    EXPECT_TRUE(server_->exchanges().empty());
    EXPECT_FALSE(QFile::exists(QString::fromStdString(SettingsFilePath())));
}

TEST_F(StartTest, LaterStartWithoutMulticastClearsTheMulticastGroup) {
    PressStart("127.0.0.1", Port());
    ASSERT_TRUE(Check(IDC_CHECK_MULTICAST)->isChecked());
    for (std::uint8_t enable : {2, 0}) {
        SCOPED_TRACE(enable);
        SetMulticastEnable(enable);
        server_->clear_exchanges();
        Click(IDC_BUTTON_START);
        EXPECT_EQ(Text(IDC_STATIC_STATUS), "OK!");
        EXPECT_FALSE(Check(IDC_CHECK_MULTICAST)->isChecked());
        EXPECT_EQ(EnabledOf({IDC_EDIT_MULTICAST_IP, IDC_BUTTON_APPLY_MULTICAST}),
                  std::vector<int>{});
        EXPECT_EQ(FieldReads().back(), (test::FieldRead{16, 1}));
    }
    EXPECT_EQ(traces_.count(" multcast en ============="), 1);
}

}  // namespace
}  // namespace kestrel
