#include "ui/data_exchange.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "dialog_fixture.h"

namespace kestrel {
namespace {

TEST(ParseDialogIntTest, TakesTheDecimalIntegerAtTheStartAndIgnoresTheRest) {
    EXPECT_EQ(ParseDialogInt("0080x"), 80);
    EXPECT_EQ(ParseDialogInt(" \t-12abc"), -12);
    EXPECT_EQ(ParseDialogInt("+7 8"), 7);
    EXPECT_EQ(ParseDialogInt("99999999999"), INT_MAX);
    EXPECT_EQ(ParseDialogInt("-99999999999"), INT_MIN);
    EXPECT_EQ(ParseDialogInt(""), std::nullopt);
    EXPECT_EQ(ParseDialogInt("abc"), std::nullopt);
    EXPECT_EQ(ParseDialogInt("- 5"), std::nullopt);
    EXPECT_EQ(ParseDialogInt("x5"), std::nullopt);
}

TEST(ParseDialogIntTest, LooksAtTheFirst63CharactersOnly) {
    EXPECT_EQ(ParseDialogInt(std::string(62, ' ') + "7"), 7);
    EXPECT_EQ(ParseDialogInt(std::string(63, ' ') + "7"), std::nullopt);
    EXPECT_EQ(ParseDialogInt(std::string(60, ' ') + "12345"), 123);
}

using DataExchangeTest = test::DialogTest;

TEST_F(DataExchangeTest, PushWritesIntegersAsDecimalAndStringsAsTheyAre) {
    Dlg().m_nServerPort = 8080;
    Dlg().m_strServerIP = "host text";
    Dlg().m_strMAC[5] = "5e";
    Dlg().m_nTSPort = -3;
    ASSERT_TRUE(Dlg().UpdateData(false));
    EXPECT_EQ(Text(IDC_EDIT_SERVER_PORT), "8080");
    EXPECT_EQ(Text(IDC_EDIT_SERVER_IP), "host text");
    EXPECT_EQ(Text(1011), "5e");
    EXPECT_EQ(Text(IDC_EDIT_TS_PORT), "-3");
}

TEST_F(DataExchangeTest, FieldWithoutIntegerStopsThePullAndLeavesLaterMembers) {
    Dlg().m_strServerIP = "old";
    for (const char* bad : {"", "abc"}) {
        SCOPED_TRACE(bad);
        boxes_.clear();
        SetText(IDC_EDIT_SERVER_IP, "new");
        SetText(IDC_EDIT_SERVER_PORT, bad);
        EXPECT_FALSE(Dlg().UpdateData(true));
        EXPECT_EQ(boxes_, QStringList{"Enter an integer."});
        EXPECT_EQ(Dlg().m_strServerIP, "old");
        EXPECT_EQ(Dlg().focusWidget(), Edit(IDC_EDIT_SERVER_PORT));
    }
}

TEST_F(DataExchangeTest, OutOfRangePortFailsWithTheRangeMessageAndKeepsTheValue) {
    SetText(IDC_EDIT_SERVER_PORT, "70000");
    EXPECT_FALSE(Dlg().UpdateData(true));
    EXPECT_EQ(boxes_, QStringList{"Enter an integer between 0 and 65535."});
    EXPECT_EQ(Dlg().m_nServerPort, 70000);
    EXPECT_EQ(Dlg().focusWidget(), Edit(IDC_EDIT_SERVER_PORT));
    EXPECT_EQ(Edit(IDC_EDIT_SERVER_PORT)->selectedText(), "70000");
}

TEST_F(DataExchangeTest, LaterFailureRefreshesEarlierMembersOnly) {
    Dlg().m_strMAC[0] = "old";
    Click(IDC_CHECK_NEW_IP);
    SetText(IDC_EDIT_SERVER_PORT, "1234");
    SetText(IDC_EDIT_SERVER_IP, "10.0.0.9");
    SetText(IDC_EDIT_NEW_PORT, "-1");
    SetText(1006, "aa");
    EXPECT_FALSE(Dlg().UpdateData(true));
    EXPECT_EQ(Dlg().m_nServerPort, 1234);
    EXPECT_EQ(Dlg().m_strServerIP, "10.0.0.9");
    EXPECT_EQ(Dlg().m_nNewPort, -1);
    EXPECT_EQ(Dlg().m_strMAC[0], "old");
    EXPECT_EQ(Dlg().focusWidget(), Edit(IDC_EDIT_NEW_PORT));
    EXPECT_EQ(Edit(IDC_EDIT_NEW_PORT)->selectedText(), "-1");
}

}  // namespace
}  // namespace kestrel
