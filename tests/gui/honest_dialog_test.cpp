// The main window says what really happened: Start shows only bytes that arrived, every Apply
// reports, a silent device costs a few exchanges, and a refused entry never traps a later pull.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <QAbstractButton>
#include <QFile>
#include <QMessageBox>

#include "dialog_fixture.h"
#include "link/ipv4.h"
#include "link/mailbox.h"

namespace kestrel {
namespace {

constexpr std::initializer_list<int> kMacEdits = {1006, 1007, 1008, 1009, 1010, 1011};

class HonestDialogTest : public test::DialogTest {
  protected:
    void SetUp() override {
        test::DialogTest::SetUp();
        sim::ConfigBlock& cfg = device_.config();
        cfg.set_mac({0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6});
        cfg.set_ip_net(*parse_ipv4("127.0.0.1"));
        cfg.set_port(0x1F90);
        cfg.set_ts_port(5000);
        cfg.set_multicast_enable(1);
        cfg.set_multicast_ip_net(*parse_ipv4("239.1.2.3"));
    }
    void SetFaults(double lose_reply, double lose_request, std::uint64_t seed = 1) {
        sim::LinkFaults f;
        f.seed = seed;
        f.lose_reply = lose_reply;
        f.lose_request = lose_request;
        server_->set_faults(f);
    }
    std::uint64_t Requests() { return server_->counters().requests; }
    QString Mac() {
        QString out;
        for (int id : kMacEdits)
            out += Text(id);
        return out;
    }
};

TEST_F(HonestDialogTest, LossyStartNeverShowsAValueTheDeviceDidNotSend) {
    StartDevice();
    SetText(IDC_EDIT_SERVER_IP, "127.0.0.1");
    SetText(IDC_EDIT_SERVER_PORT, QString::number(server_->port()));
    for (std::uint64_t seed = 1; seed <= 8; ++seed) {
        SCOPED_TRACE(seed);
        SetFaults(0.1, 0, seed);
        Click(IDC_BUTTON_START);
        const bool shown_ok = Text(IDC_STATIC_STATUS) == "OK!";
        // Before anything arrived the fields are empty (or 0); after, only the device's values.
        EXPECT_TRUE(Mac() == "" || Mac() == "a1b2c3d4e5f6") << Mac().toStdString();
        EXPECT_TRUE(Text(IDC_EDIT_NEW_IP) == "" || Text(IDC_EDIT_NEW_IP) == "127.0.0.1");
        EXPECT_TRUE(Text(IDC_EDIT_NEW_PORT) == "0" || Text(IDC_EDIT_NEW_PORT) == "8080");
        EXPECT_TRUE(Text(IDC_EDIT_TS_PORT) == "0" || Text(IDC_EDIT_TS_PORT) == "5000");
        EXPECT_TRUE(Text(IDC_EDIT_MULTICAST_IP) == "" ||
                    Text(IDC_EDIT_MULTICAST_IP) == "239.1.2.3");
        if (shown_ok) {
            EXPECT_EQ(Mac(), "a1b2c3d4e5f6");
            EXPECT_EQ(Text(IDC_EDIT_NEW_IP), "127.0.0.1");
            EXPECT_EQ(Text(IDC_EDIT_NEW_PORT), "8080");
            EXPECT_EQ(Text(IDC_EDIT_TS_PORT), "5000");
            EXPECT_EQ(Text(IDC_EDIT_MULTICAST_IP), "239.1.2.3");
            EXPECT_TRUE(Check(IDC_CHECK_MULTICAST)->isChecked());
        }
    }
    SetFaults(0, 0);
    Click(IDC_BUTTON_START);
    EXPECT_EQ(Text(IDC_STATIC_STATUS), "OK!");
    EXPECT_EQ(Mac(), "a1b2c3d4e5f6");
    EXPECT_EQ(Text(IDC_EDIT_NEW_PORT), "8080");
}

TEST_F(HonestDialogTest, StartAgainstADeviceThatFallsSilentFailsWithinAFewExchanges) {
    StartDevice();
    ConnectToDevice();
    SetFaults(0, 1.0);  // the handshake still answers, no register request does
    const std::uint64_t before = Requests();
    Click(IDC_BUTTON_START);
    EXPECT_EQ(Text(IDC_STATIC_STATUS), "Failed!");
    EXPECT_LE(Requests() - before, 1u + kSilentGiveUp);
    EXPECT_EQ(sleeps_.count(1000), 0);
    EXPECT_EQ(Mac(), "a1b2c3d4e5f6");  // what the earlier Start showed
    EXPECT_EQ(Text(IDC_EDIT_TS_PORT), "5000");
}

// Every command against a device that answers nothing: "Failed!", a few exchanges at most, no
// ownership rounds, nothing saved and the link where it was.
TEST_F(HonestDialogTest, EveryCommandAgainstASilentDeviceFailsQuicklyAndSavesNothing) {
    StartDevice();
    ConnectToDevice();
    for (int box : {IDC_CHECK_NEW_IP, IDC_CHECK_NEW_MAC, IDC_CHECK_TS_PORT})
        Click(box);
    SetText(IDC_EDIT_NEW_IP, "127.0.0.3");
    SetText(IDC_EDIT_NEW_PORT, "6000");
    SetFaults(0, 1.0);
    const std::string settings = SettingsFileContent();
    const PeerAddress peer = peer_address();
    for (int id : {IDC_BUTTON_APPLY_IP, IDC_BUTTON_APPLY_MAC, IDC_BUTTON_APPLY_TS_PORT,
                   IDC_CHECK_MULTICAST, IDC_BUTTON_APPLY_MULTICAST}) {
        SCOPED_TRACE(id);
        SetText(IDC_STATIC_STATUS, "");
        if (id == IDC_BUTTON_APPLY_MULTICAST) {
            EnableDlgItem(&Dlg(), id, true);
            SetText(IDC_EDIT_MULTICAST_IP, "239.5.5.5");
        }
        sleeps_.clear();
        const std::uint64_t before = Requests();
        Click(id);
        EXPECT_EQ(Text(IDC_STATIC_STATUS), "Failed!");
        EXPECT_LE(Requests() - before, static_cast<std::uint64_t>(kSilentGiveUp));
        EXPECT_EQ(sleeps_.count(1000), 0);
        EXPECT_LE(sleeps_.count(30), 2);
    }
    EXPECT_TRUE(boxes_.isEmpty());
    EXPECT_EQ(SettingsFileContent(), settings);
    EXPECT_EQ(peer_address().addr, peer.addr);
    EXPECT_EQ(peer_address().port, peer.port);
    EXPECT_EQ(Text(IDC_EDIT_SERVER_IP), "127.0.0.1");
    EXPECT_EQ(traces_.count("host controled by udp_cmd !"), 0);
}

TEST_F(HonestDialogTest, ApplyIpWithoutAnyStartSendsNothingAndFails) {
    close_link();
    SetText(IDC_EDIT_SERVER_PORT, "5000");
    Click(IDC_CHECK_NEW_IP);
    SetText(IDC_EDIT_NEW_IP, "192.168.1.20");
    SetText(IDC_EDIT_NEW_PORT, "5000");
    Click(IDC_BUTTON_APPLY_IP);
    EXPECT_EQ(Text(IDC_STATIC_STATUS), "Failed!");
    EXPECT_EQ(Text(IDC_EDIT_SERVER_IP), "");
    EXPECT_FALSE(QFile::exists(QString::fromStdString(SettingsFilePath())));
    EXPECT_EQ(sleeps_.count(1000), 0);
    EXPECT_EQ(traces_.count("host controled by udp_cmd !"), 0);
}

TEST_F(HonestDialogTest, AcknowledgedAppliesShowOk) {
    StartDevice();
    ConnectToDevice();
    Click(IDC_CHECK_TS_PORT);
    SetText(IDC_EDIT_TS_PORT, "6001");
    SetText(IDC_STATIC_STATUS, "");
    Click(IDC_BUTTON_APPLY_TS_PORT);
    EXPECT_EQ(Text(IDC_STATIC_STATUS), "OK!");
    SetText(IDC_STATIC_STATUS, "");
    Click(IDC_CHECK_NEW_MAC);
    Click(IDC_BUTTON_APPLY_MAC);
    EXPECT_EQ(Text(IDC_STATIC_STATUS), "OK!");
    SetText(IDC_STATIC_STATUS, "");
    Click(IDC_CHECK_MULTICAST);  // ticked by Start: this click disables multicast
    EXPECT_EQ(Text(IDC_STATIC_STATUS), "OK!");
    EXPECT_EQ(traces_.count("test read: 0"), 1);
}

TEST_F(HonestDialogTest, ServerIpMustBeADottedQuadAndIsStoredAsTyped) {
    StartDevice();
    SetText(IDC_EDIT_SERVER_PORT, QString::number(server_->port()));
    for (const QString& bad : {QString("300.1.1.1"), QString("10.1"), QString("127.0.0.1 junk"),
                               QString(409, QChar('1')), QString("")}) {
        SCOPED_TRACE(bad.toStdString());
        boxes_.clear();
        SetText(IDC_EDIT_SERVER_IP, bad);
        Click(IDC_BUTTON_START);
        EXPECT_EQ(boxes_, QStringList{"Server IP: enter four numbers from 0 to 255 joined by "
                                      "dots, for example 192.168.1.20."});
        EXPECT_EQ(Dlg().focusWidget(), Edit(IDC_EDIT_SERVER_IP));
    }
    EXPECT_TRUE(server_->exchanges().empty());
    EXPECT_FALSE(QFile::exists(QString::fromStdString(SettingsFilePath())));

    // Leading zeros are decimal: this is 127.0.0.1, and the file keeps the text as typed.
    SetText(IDC_EDIT_SERVER_IP, "127.000.000.001");
    Click(IDC_BUTTON_START);
    EXPECT_EQ(Text(IDC_STATIC_STATUS), "OK!");
    EXPECT_EQ(Setting("Server", "IP"), "127.000.000.001");
    EXPECT_EQ(traces_.count("127.000.000.001"), 1);
}

TEST_F(HonestDialogTest, UntickingAGroupPutsItsFieldsBackSoNoPullIsTrapped) {
    StartDevice();
    ConnectToDevice();
    Click(IDC_CHECK_TS_PORT);
    SetText(IDC_EDIT_TS_PORT, "70000");
    Click(IDC_BUTTON_APPLY_TS_PORT);
    ASSERT_EQ(boxes_, QStringList{"Enter an integer between 0 and 65535."});
    Click(IDC_CHECK_TS_PORT);
    EXPECT_EQ(Text(IDC_EDIT_TS_PORT), "5000");
    EXPECT_FALSE(Enabled(IDC_EDIT_TS_PORT));

    Click(IDC_CHECK_NEW_IP);
    SetText(IDC_EDIT_NEW_PORT, "99999");
    Click(IDC_CHECK_NEW_IP);
    EXPECT_EQ(Text(IDC_EDIT_NEW_PORT), "8080");

    Click(IDC_CHECK_NEW_MAC);
    SetText(1008, "zz");
    Click(IDC_CHECK_NEW_MAC);
    EXPECT_EQ(Mac(), "a1b2c3d4e5f6");

    boxes_.clear();
    Click(IDC_BUTTON_START);
    EXPECT_TRUE(boxes_.isEmpty());
    EXPECT_EQ(Text(IDC_STATIC_STATUS), "OK!");
}

TEST_F(HonestDialogTest, ApplyIpFollowsADeviceThatMovesAtItsCommit) {
    server_options_.move_at_commit = true;
    StartDevice();
    ConnectToDevice();
    const std::uint16_t new_port = test::free_udp_port("127.0.0.3");
    Click(IDC_CHECK_NEW_IP);
    SetText(IDC_EDIT_NEW_IP, "127.0.0.3");
    SetText(IDC_EDIT_NEW_PORT, QString::number(new_port));
    Click(IDC_BUTTON_APPLY_IP);
    EXPECT_EQ(Text(IDC_STATIC_STATUS), "OK!");
    EXPECT_EQ(Text(IDC_EDIT_SERVER_IP), "127.0.0.3");
    EXPECT_EQ(Setting("Server", "IP"), "127.0.0.3");
    EXPECT_EQ(Setting("Server", "Port"), std::to_string(new_port));
    EXPECT_EQ(sleeps_.count(1000), 0);
    server_->clear_exchanges();
    Click(IDC_BUTTON_START);
    EXPECT_EQ(Text(IDC_STATIC_STATUS), "OK!");
    const auto after = Registers();
    ASSERT_FALSE(after.empty());
    for (const auto& ex : after)
        EXPECT_EQ(ex.local_port, new_port);
}

TEST_F(HonestDialogTest, MacEditsTakeAtMostTwoHexDigits) {
    QLineEdit* edit = Edit(1006);
    EXPECT_EQ(edit->maxLength(), 2);
    edit->clear();
    edit->insert("1g");
    EXPECT_EQ(edit->text(), "");
    edit->insert("abc");
    EXPECT_EQ(edit->text(), "ab");
}

TEST(MessageBoxTest, OkButtonShowsNoThemeIcon) {
    const auto box = MakeMessageBox(nullptr, "Port: enter a port from 1 to 65535.");
    QAbstractButton* ok = box->button(QMessageBox::Ok);
    ASSERT_NE(ok, nullptr);
    EXPECT_TRUE(ok->icon().isNull());
    EXPECT_EQ(box->icon(), QMessageBox::Warning);
    EXPECT_EQ(box->windowTitle(), "kestrel");
}

}  // namespace
}  // namespace kestrel
