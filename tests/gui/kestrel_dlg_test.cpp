#include "ui/kestrel_dlg.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <QApplication>
#include <QTimer>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QMenu>
#include <QTemporaryDir>
#include <fstream>

#include "dialog_fixture.h"

namespace kestrel {
namespace {

using test::DialogTest;

constexpr std::initializer_list<int> kGroupControls = {IDC_EDIT_NEW_IP,
                                                       IDC_EDIT_NEW_PORT,
                                                       IDC_BUTTON_APPLY_IP,
                                                       1006,
                                                       1007,
                                                       1008,
                                                       1009,
                                                       1010,
                                                       1011,
                                                       IDC_BUTTON_APPLY_MAC,
                                                       IDC_EDIT_TS_PORT,
                                                       IDC_BUTTON_APPLY_TS_PORT,
                                                       IDC_EDIT_MULTICAST_IP,
                                                       IDC_BUTTON_APPLY_MULTICAST};

void PressKey(QWidget* target, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
}

TEST_F(DialogTest, StartsWithEmptyServerFieldsAndClosedGroupsWithoutASettingsFile) {
    EXPECT_EQ(Dlg().windowTitle(), "Kestrel");
    EXPECT_FALSE(Dlg().windowIcon().isNull());
    EXPECT_FALSE(Dlg().OnQueryDragIcon().isNull());
    EXPECT_EQ(Text(IDC_EDIT_SERVER_IP), "");
    EXPECT_EQ(Text(IDC_EDIT_SERVER_PORT), "");
    EXPECT_EQ(Text(IDC_EDIT_NEW_PORT), "0");
    EXPECT_EQ(Text(IDC_EDIT_TS_PORT), "0");
    EXPECT_EQ(Text(IDC_EDIT_NEW_IP), "");
    for (int id = IDC_EDIT_MAC1; id <= IDC_EDIT_MAC6; ++id)
        EXPECT_EQ(Text(id), "");
    EXPECT_EQ(Text(IDC_STATIC_STATUS), "");
    EXPECT_EQ(EnabledOf(kGroupControls), std::vector<int>{});
    for (int id : {IDC_CHECK_NEW_IP, IDC_CHECK_NEW_MAC, IDC_CHECK_TS_PORT, IDC_CHECK_MULTICAST}) {
        EXPECT_TRUE(Enabled(id));
        EXPECT_FALSE(Check(id)->isChecked());
    }
    EXPECT_EQ(Dlg().focusWidget(), Button(IDOK));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(SettingsFilePath())));
}

TEST_F(DialogTest, ShowsStoredServerSettingsAsWrittenFromBesideTheExecutable) {
    WriteSettingsFile("[server]\nip = 10.1.2.3\nPORT=abc\n");
    QTemporaryDir elsewhere;
    std::ofstream(elsewhere.filePath("QXR-IPdata.ini").toStdString()) << "[Server]\nIP=9.9.9.9\n";
    const QString saved_cwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(elsewhere.path()));
    Dlg();
    QDir::setCurrent(saved_cwd);
    EXPECT_EQ(Text(IDC_EDIT_SERVER_IP), "10.1.2.3");
    EXPECT_EQ(Text(IDC_EDIT_SERVER_PORT), "abc");
    EXPECT_EQ(Dlg().m_strServerIP, "");
    EXPECT_EQ(Dlg().m_nServerPort, 0);
}

TEST_F(DialogTest, StartsAtOnceWithEmptyServerFieldsWhenTheSettingsFileIsAFifoOrEndless) {
    const std::string ini = SettingsFilePath();
    // Nothing ever writes to the FIFO: reading it with a blocking open would hang the start.
    ASSERT_EQ(::mkfifo(ini.c_str(), 0600), 0);
    EXPECT_EQ(Text(IDC_EDIT_SERVER_IP), "");
    EXPECT_EQ(Text(IDC_EDIT_SERVER_PORT), "");
    EXPECT_EQ(traces_.count("the settings file: \"" + ini + "\" is a FIFO, not a regular file"), 2);
    dlg_.reset();
    ASSERT_EQ(::unlink(ini.c_str()), 0);
    ASSERT_EQ(::symlink("/dev/zero", ini.c_str()), 0);
    EXPECT_EQ(Text(IDC_EDIT_SERVER_IP), "");
    EXPECT_EQ(traces_.count("the settings file: \"" + ini + "\" is a device, not a regular file"),
              2);
}

TEST_F(DialogTest, OkClosesOnlyWhenThePullSucceeds) {
    SetText(IDC_EDIT_SERVER_PORT, "abc");
    Click(IDOK);
    EXPECT_EQ(boxes_, QStringList{"Enter an integer."});
    EXPECT_TRUE(Dlg().isVisible());
    SetText(IDC_EDIT_SERVER_PORT, "5000");
    Click(IDOK);
    EXPECT_FALSE(Dlg().isVisible());
    EXPECT_EQ(Dlg().result(), QDialog::Accepted);
    EXPECT_EQ(Dlg().m_nServerPort, 5000);
}

TEST_F(DialogTest, EnterInAnEditPressesOk) {
    SetText(IDC_EDIT_SERVER_PORT, "70000");
    PressKey(Edit(IDC_EDIT_SERVER_IP), Qt::Key_Return);
    EXPECT_EQ(boxes_, QStringList{"Enter an integer between 0 and 65535."});
    EXPECT_TRUE(Dlg().isVisible());
    SetText(IDC_EDIT_SERVER_PORT, "7");
    PressKey(Edit(IDC_EDIT_SERVER_IP), Qt::Key_Return);
    EXPECT_EQ(Dlg().result(), QDialog::Accepted);
    EXPECT_EQ(Dlg().m_nServerPort, 7);
}

TEST_F(DialogTest, EscapeAndTheCloseBoxCloseWithoutAPull) {
    SetText(IDC_EDIT_SERVER_PORT, "abc");
    PressKey(Edit(IDC_EDIT_SERVER_PORT), Qt::Key_Escape);
    EXPECT_FALSE(Dlg().isVisible());
    EXPECT_EQ(Dlg().result(), QDialog::Rejected);
    Dlg().show();
    EXPECT_TRUE(Dlg().close());
    EXPECT_FALSE(Dlg().isVisible());
    EXPECT_EQ(Dlg().result(), QDialog::Rejected);
    EXPECT_TRUE(boxes_.isEmpty());
    EXPECT_EQ(Dlg().m_nServerPort, 0);
}

// Counts About boxes instead of running them modally.
class CountingDlg : public CkestrelDlg {
  public:
    int about_boxes = 0;

  protected:
    void RunAboutBox() override { ++about_boxes; }
};

TEST_F(DialogTest, SystemCommandsSixteenToThirtyOneOpenTheAboutBox) {
    CountingDlg dlg;
    dlg.show();
    for (unsigned id = 0; id < 0x40; ++id)
        dlg.OnSysCommand(id, 0);
    EXPECT_EQ(dlg.about_boxes, 16);
    dlg.OnSysCommand(0xF010, 0);  // move
    EXPECT_EQ(dlg.about_boxes, 16);
    EXPECT_TRUE(dlg.isVisible());

    QAction* about = nullptr;
    for (QAction* action : dlg.GetSystemMenu()->actions()) {
        if (action->text() == "&About kestrel...") about = action;
    }
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->data().toUInt(), IDM_ABOUTBOX);
    about->trigger();
    EXPECT_EQ(dlg.about_boxes, 17);
    dlg.OnSysCommand(SC_CLOSE, 0);
    EXPECT_FALSE(dlg.isVisible());
}

TEST_F(DialogTest, UpdateFwOpensTheUpdateDialogModallyWithoutNeedingStart) {
    Dlg();
    QString title;
    bool modal = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w != &Dlg() && w->isVisible() && w->windowTitle() == "UpdateFW") {
                title = w->windowTitle();
                modal = w->isModal();
                w->close();
            }
        }
    });
    poll.start(10);
    Click(IDC_BUTTON_UPDATE_FW);
    poll.stop();
    EXPECT_EQ(title, "UpdateFW");
    EXPECT_TRUE(modal);
    EXPECT_TRUE(Dlg().isVisible());
    EXPECT_TRUE(boxes_.isEmpty());
}

}  // namespace
}  // namespace kestrel
