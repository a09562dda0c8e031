// The firmware update dialog (template 131): choose an update file, read the flash into
// "flash.bin", write the flash from the file, verify the file against the dump, reset the device.
//
// Read and write run on worker threads that hold the link lock for their whole run; their
// status and progress updates and message boxes are blocking calls into the dialog's thread.
// While a worker runs the dialog refuses to close and refuses Reset, so the dialog's thread
// never waits for the link lock and the workers never outlive the dialog.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "flash/core/flash_reporter.h"

namespace kestrel {

class CUpdateFWDlg : public QDialog, private FlashReporter {
    Q_OBJECT

  public:
    explicit CUpdateFWDlg(QWidget* parent = nullptr);
    ~CUpdateFWDlg() override;

    void OnBnClickedReadFlash();
    void OnBnClickedWriteFlash();
    void OnBnClickedVerify();
    void OnBnClickedBrowse();
    void OnBnClickedReset();
    // The write timer fired: stop it and start the write worker.
    void OnTimer();

    // True while a read or write worker has not finished.
    bool IsWorkerRunning() const { return m_running.load() > 0; }
    const QTimer& WriteTimer() const { return m_writeTimer; }

    // Replaces the file-open dialog (tests); it returns the chosen path, or empty on cancel.
    using FileChooser = std::function<QString(QWidget* parent)>;
    void SetFileChooser(FileChooser chooser) { m_chooseFile = std::move(chooser); }

    // Where "flash.bin" is read and written: the folder of the last chosen update file, or
    // the current directory before any choice.
    std::filesystem::path DumpDirectory() const;

    QLineEdit* m_editFile = nullptr;
    QProgressBar* m_progress = nullptr;
    std::string m_strFilePath;
    int m_nEraseWait = 0;
    QLabel* m_staticStatus = nullptr;

    // Esc, the close box and Enter outside a push button end the dialog, except while a worker
    // runs: then a message says why it stays open.
    void reject() override;
    void accept() override;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void OnInitDialog();
    bool RefuseWhileWorkerRuns();
    void StartWorker(std::function<void()> procedure);
    void WorkerFinished();
    // Runs fn on the dialog's thread and returns when it is done.
    void OnDialogThread(const std::function<void()>& fn);

    void set_status(std::string_view text) override;
    void set_progress(int position) override;
    void message_box(std::string_view text) override;

    QTimer m_writeTimer;
    FileChooser m_chooseFile;
    std::filesystem::path m_dumpDir;
    std::atomic<int> m_running{0};
    std::atomic<int> m_shownProgress{-1};
    std::vector<std::thread> m_workers;
};

}  // namespace kestrel
