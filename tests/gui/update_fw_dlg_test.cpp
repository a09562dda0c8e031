// The firmware update dialog against the simulated device: its template, the browse button,
// the write timer, the workers' reports, and the close and reset refusals while one runs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QPushButton>
#include <QTemporaryDir>
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include "device/settings_path.h"
#include "res/dialog_item.h"
#include "res/update_fw_template.h"
#include "support/capture.h"
#include "support/scoped_env.h"
#include "support/sim_fixture.h"
#include "ui/message_box.h"
#include "ui/update_fw_dlg.h"

namespace kestrel::test {
namespace {

using ::testing::ElementsAre;

void Pump(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

class UpdateFWDlgTest : public SimFixture {
  protected:
    void SetUp() override {
        SimFixture::SetUp();
        ASSERT_TRUE(dir_.isValid());
        saved_exe_dir_ = g_strExeDir;
        g_strExeDir = dir_.path().toStdString();
        saved_box_ = SetMessageBoxHandler(
            [this](QWidget*, const QString& text) { boxes_.push_back(text.toStdString()); });
        dlg_ = std::make_unique<CUpdateFWDlg>();
        dlg_->show();
    }
    void TearDown() override {
        WaitForWorkers();
        dlg_.reset();
        SetMessageBoxHandler(saved_box_);
        g_strExeDir = saved_exe_dir_;
        SimFixture::TearDown();
    }

    void Click(int id) { qobject_cast<QPushButton*>(GetDlgItem(dlg_.get(), id))->click(); }
    void Choose(const QString& path) {
        dlg_->SetFileChooser([path](QWidget*) { return path; });
        Click(IDC_BUTTON_BROWSE);
    }
    void WaitForWorkers(int limit_ms = 120000) {
        QElapsedTimer t;
        t.start();
        while (dlg_ && dlg_->IsWorkerRunning() && t.elapsed() < limit_ms)
            Pump(5);
    }
    std::string Path(const char* name) { return (dir_.path() + "/" + name).toStdString(); }

    QTemporaryDir dir_;
    std::string saved_exe_dir_;
    MessageBoxHandler saved_box_;
    std::vector<std::string> boxes_;
    std::unique_ptr<CUpdateFWDlg> dlg_;
};

TEST_F(UpdateFWDlgTest, FollowsTemplate131) {
    EXPECT_EQ(dlg_->windowTitle(), "UpdateFW");
    for (int id : {IDC_BUTTON_WRITE_FLASH, IDC_BUTTON_READ_FLASH, IDC_BUTTON_VERIFY,
                   IDC_BUTTON_BROWSE, IDC_BUTTON_RESET}) {
        EXPECT_NE(qobject_cast<QPushButton*>(GetDlgItem(dlg_.get(), id)), nullptr) << id;
    }
    for (const ControlTemplate& c : UpdateFWDialogTemplate().controls) {
        EXPECT_NE(c.kind, ControlKind::DefPushButton) << c.id;
    }
    EXPECT_EQ(GetDlgItemText(dlg_.get(), IDC_BUTTON_BROWSE), "......");
    EXPECT_EQ(dlg_->m_progress->minimum(), 0);
    EXPECT_EQ(dlg_->m_progress->maximum(), 100);
    EXPECT_EQ(dlg_->m_progress->value(), 0);
    EXPECT_TRUE(dlg_->m_staticStatus->text().isEmpty());
    EXPECT_TRUE(dlg_->m_strFilePath.empty());
}

TEST_F(UpdateFWDlgTest, BrowseSetsThePathAndCancelKeepsIt) {
    Choose(QString::fromStdString(Path("image.bin")));
    EXPECT_EQ(dlg_->m_strFilePath, Path("image.bin"));
    EXPECT_EQ(dlg_->m_editFile->text().toStdString(), Path("image.bin"));
    EXPECT_EQ(dlg_->DumpDirectory(), dir_.path().toStdString());

    Choose(QString());  // cancelled
    EXPECT_EQ(dlg_->m_strFilePath, Path("image.bin"));
    EXPECT_EQ(dlg_->m_editFile->text().toStdString(), Path("image.bin"));

    dlg_->m_editFile->setText("/typed/by/hand.bin");  // never read back
    EXPECT_EQ(dlg_->m_strFilePath, Path("image.bin"));
}

TEST_F(UpdateFWDlgTest, EnterInTheFileEditEndsTheDialogWhenIdle) {
    dlg_->m_editFile->setFocus();
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(dlg_.get(), &enter);
    EXPECT_FALSE(dlg_->isVisible());
    EXPECT_EQ(dlg_->result(), QDialog::Accepted);
}

TEST_F(UpdateFWDlgTest, ResetSendsTheResetCommandOnTheDialogThread) {
    Click(IDC_BUTTON_RESET);
    EXPECT_EQ(device_.mailbox().resets(), 1);
    EXPECT_TRUE(boxes_.empty());
    EXPECT_FALSE(dlg_->IsWorkerRunning());
}

// A second press re-arms the timer; the write starts 3000 ms after the last press, and with no
// file chosen it stops before the chip is touched.
TEST_F(UpdateFWDlgTest, WriteFlashStartsOneWriteThreeSecondsAfterTheLastPress) {
    Click(IDC_BUTTON_WRITE_FLASH);
    EXPECT_TRUE(dlg_->WriteTimer().isActive());
    Pump(1000);
    Click(IDC_BUTTON_WRITE_FLASH);
    EXPECT_GT(dlg_->WriteTimer().remainingTime(), 2900);
    Pump(2500);
    EXPECT_FALSE(dlg_->IsWorkerRunning());
    EXPECT_TRUE(boxes_.empty());
    EXPECT_TRUE(registers().empty());
    Pump(1000);
    WaitForWorkers();
    EXPECT_FALSE(dlg_->WriteTimer().isActive());
    EXPECT_THAT(boxes_, ElementsAre("Can't open the file"));
    EXPECT_EQ(device_.flash().chip_erases(), 0);
    EXPECT_EQ(writes_to(0xC018).size(), 1u);  // the worker closed the RTP channels first
}

TEST_F(UpdateFWDlgTest, CloseAndResetAreRefusedWhileAWorkerRuns) {
    device_.flash().set_jedec_id({0x00, 0x00, 0x00});
    {
        // Holding the link lock keeps the worker waiting, so it is running for certain.
        std::unique_lock<std::recursive_mutex> lock(link_lock());
        Click(IDC_BUTTON_READ_FLASH);
        EXPECT_TRUE(dlg_->IsWorkerRunning());
        dlg_->reject();
        EXPECT_TRUE(dlg_->isVisible());
        dlg_->close();
        EXPECT_TRUE(dlg_->isVisible());
        Click(IDC_BUTTON_RESET);  // returns at once instead of waiting for the lock
        EXPECT_EQ(boxes_.size(), 3u);
    }
    WaitForWorkers();
    EXPECT_EQ(device_.mailbox().resets(), 0);
    EXPECT_EQ(boxes_.back(), "Can't read flash chip ID!");
    dlg_->reject();
    EXPECT_FALSE(dlg_->isVisible());
}

// Installed in /usr/bin, the erase log goes to the user's state folder, made on demand; a chip
// that never finishes its erase logs 20 busy polls there and programs nothing.
TEST_F(UpdateFWDlgTest, InstalledDialogLogsTheEraseWaitInTheStateFolder) {
    QTemporaryDir state;
    ASSERT_TRUE(state.isValid());
    ScopedEnv xdg("XDG_STATE_HOME", state.path().toStdString());
    g_strExeDir = "/usr/bin";
    {
        std::ofstream out(Path("image.bin"), std::ios::binary);
        out << std::string(512, 'K');
    }
    Choose(QString::fromStdString(Path("image.bin")));
    device_.flash().set_hang_busy(true);

    dlg_->OnTimer();
    WaitForWorkers();
    EXPECT_THAT(boxes_, ElementsAre("Flash erase error!"));
    std::ifstream log(state.path().toStdString() + "/kestrel/qxrCI.log", std::ios::binary);
    ASSERT_TRUE(log.is_open());
    int lines = 0;
    for (std::string line; std::getline(log, line);)
        lines += line.find("] read status register0  ") != std::string::npos ? 1 : 0;
    EXPECT_EQ(lines, 20);
    EXPECT_FALSE(QFile::exists(dir_.path() + "/qxrCI.log"));
}

// The whole job as a user does it: choose an image, write it, read the flash back beside the
// image, verify. Status and progress come from the workers through the dialog's thread.
TEST_F(UpdateFWDlgTest, WriteReadAndVerifyThroughTheDialog) {
    std::vector<std::uint8_t> image(64 * 1024);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 7 + 3);
    {
        std::ofstream out(Path("image.bin"), std::ios::binary);
        out.write(reinterpret_cast<const char*>(image.data()), static_cast<long>(image.size()));
    }
    Choose(QString::fromStdString(Path("image.bin")));

    dlg_->OnTimer();  // what the write timer does when it fires
    WaitForWorkers();
    EXPECT_EQ(dlg_->m_staticStatus->text(), "Flash write finished!");
    EXPECT_EQ(dlg_->m_progress->value(), 100);
    EXPECT_EQ(sleeps_.count(13000), 1);
    EXPECT_THAT(boxes_, ElementsAre("Write Over !!! please Read Flash for check!"));

    Click(IDC_BUTTON_READ_FLASH);
    EXPECT_TRUE(dlg_->IsWorkerRunning());
    WaitForWorkers();
    EXPECT_EQ(dlg_->m_staticStatus->text(), "Flash read finished!");
    EXPECT_EQ(dlg_->m_progress->value(), 100);
    EXPECT_EQ(std::filesystem::file_size(Path("flash.bin")), 4u * 1024 * 1024);

    Click(IDC_BUTTON_VERIFY);
    EXPECT_EQ(boxes_.back(), "Verify OK !!!!");
    const auto chip = device_.flash().contents();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), chip.begin()));
}

}  // namespace
}  // namespace kestrel::test
