#include "ui/update_fw_dlg.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileDialog>
#include <QKeyEvent>
#include <QPushButton>
#include <QThread>

#include "device/settings_path.h"
#include "flash/core/flash_procedures.h"
#include "flash/core/flash_worker.h"
#include "link/mailbox.h"
#include "res/dialog_builder.h"
#include "res/dialog_item.h"
#include "res/update_fw_template.h"
#include "ui/message_box.h"

namespace kestrel {
namespace {

constexpr int kWriteDelayMs = 3000;
constexpr const char* kBusyCloseText =
    "A flash read or write is running. Please wait until it has finished.";
constexpr const char* kBusyResetText =
    "The device cannot be reset while a flash read or write is running.";

}  // namespace

CUpdateFWDlg::CUpdateFWDlg(QWidget* parent) : QDialog(parent) {
    BuildDialog(*this, UpdateFWDialogTemplate());
    m_editFile = qobject_cast<QLineEdit*>(GetDlgItem(this, IDC_EDIT_FILE));
    m_progress = qobject_cast<QProgressBar*>(GetDlgItem(this, IDC_PROGRESS));
    m_staticStatus = qobject_cast<QLabel*>(GetDlgItem(this, IDC_STATIC_FLASH_STATUS));

    auto on_click = [this](int id, void (CUpdateFWDlg::*handler)()) {
        if (auto* button = qobject_cast<QPushButton*>(GetDlgItem(this, id))) {
            connect(button, &QPushButton::clicked, this, handler);
        }
    };
    on_click(IDC_BUTTON_READ_FLASH, &CUpdateFWDlg::OnBnClickedReadFlash);
    on_click(IDC_BUTTON_WRITE_FLASH, &CUpdateFWDlg::OnBnClickedWriteFlash);
    on_click(IDC_BUTTON_VERIFY, &CUpdateFWDlg::OnBnClickedVerify);
    on_click(IDC_BUTTON_BROWSE, &CUpdateFWDlg::OnBnClickedBrowse);
    on_click(IDC_BUTTON_RESET, &CUpdateFWDlg::OnBnClickedReset);

    m_writeTimer.setSingleShot(true);
    m_writeTimer.setTimerType(Qt::PreciseTimer);
    m_writeTimer.setInterval(kWriteDelayMs);
    connect(&m_writeTimer, &QTimer::timeout, this, &CUpdateFWDlg::OnTimer);

    m_chooseFile = [](QWidget* owner) {
        return QFileDialog::getOpenFileName(owner, QStringLiteral("Open"));
    };
    OnInitDialog();
}

CUpdateFWDlg::~CUpdateFWDlg() {
    // Close is refused while a worker runs; should the dialog still go first, keep serving
    // the workers' calls until they are done, so none is left waiting on a dead window.
    while (m_running.load() > 0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    for (std::thread& t : m_workers) {
        if (t.joinable()) t.join();
    }
}

void CUpdateFWDlg::OnInitDialog() {
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
}

std::filesystem::path CUpdateFWDlg::DumpDirectory() const {
    return m_dumpDir.empty() ? std::filesystem::current_path() : m_dumpDir;
}

bool CUpdateFWDlg::RefuseWhileWorkerRuns() {
    if (!IsWorkerRunning()) return false;
    ShowMessageBox(this, QString::fromLatin1(kBusyCloseText));
    return true;
}

void CUpdateFWDlg::reject() {
    if (RefuseWhileWorkerRuns()) return;
    QDialog::reject();
}

void CUpdateFWDlg::accept() {
    if (RefuseWhileWorkerRuns()) return;
    QDialog::accept();
}

void CUpdateFWDlg::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && !qobject_cast<QPushButton*>(focusWidget())) {
        accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CUpdateFWDlg::closeEvent(QCloseEvent* event) {
    if (RefuseWhileWorkerRuns()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void CUpdateFWDlg::StartWorker(std::function<void()> procedure) {
    m_running.fetch_add(1);
    m_shownProgress = -1;
    m_workers.emplace_back([this, procedure = std::move(procedure)] {
        run_flash_worker(procedure);
        QMetaObject::invokeMethod(
            this, [this] { WorkerFinished(); }, Qt::QueuedConnection);
    });
}

void CUpdateFWDlg::WorkerFinished() {
    if (m_running.fetch_sub(1) != 1) return;
    for (std::thread& t : m_workers) {
        if (t.joinable()) t.join();
    }
    m_workers.clear();
}

void CUpdateFWDlg::OnBnClickedReadFlash() {
    const std::filesystem::path dump_dir = DumpDirectory();
    StartWorker([this, dump_dir] { read_flash_to_file(dump_dir, *this); });
}

void CUpdateFWDlg::OnBnClickedWriteFlash() {
    m_writeTimer.start();
}

void CUpdateFWDlg::OnTimer() {
    m_writeTimer.stop();
    const std::string path = m_strFilePath;
    const std::filesystem::path log_dir = LogDirectory();
    StartWorker(
        [this, path, log_dir] { write_flash_from_file(path, log_dir, m_nEraseWait, *this); });
}

void CUpdateFWDlg::OnBnClickedVerify() {
    verify_flash_file(m_strFilePath, DumpDirectory(), *this);
}

void CUpdateFWDlg::OnBnClickedBrowse() {
    const QString chosen = m_chooseFile ? m_chooseFile(this) : QString();
    if (chosen.isEmpty()) return;
    m_strFilePath = chosen.toStdString();
    m_editFile->setText(chosen);
    m_dumpDir = std::filesystem::path(m_strFilePath).parent_path();
}

void CUpdateFWDlg::OnBnClickedReset() {
    if (IsWorkerRunning()) {
        ShowMessageBox(this, QString::fromLatin1(kBusyResetText));
        return;
    }
    reset_device(RegisterWord{});
}

void CUpdateFWDlg::OnDialogThread(const std::function<void()>& fn) {
    if (QThread::currentThread() == thread()) {
        fn();
    } else {
        QMetaObject::invokeMethod(this, fn, Qt::BlockingQueuedConnection);
    }
}

void CUpdateFWDlg::set_status(std::string_view text) {
    const QString qtext = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    OnDialogThread([this, &qtext] { m_staticStatus->setText(qtext); });
}

// The procedures report after every page; the bar moves only 101 times a run, so a report
// that would not move it skips the round trip to the dialog's thread.
void CUpdateFWDlg::set_progress(int position) {
    if (m_shownProgress.exchange(position) == position) return;
    OnDialogThread([this, position] { m_progress->setValue(position); });
}

void CUpdateFWDlg::message_box(std::string_view text) {
    const QString qtext = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    OnDialogThread([this, &qtext] { ShowMessageBox(this, qtext); });
}

}  // namespace kestrel
