#include "gui_bench.h"

#include <unistd.h>
#include <QApplication>
#include <QPushButton>

#include <atomic>
#include <chrono>
#include <memory>

#include "link/transport.h"
#include "platform/sleep.h"
#include "res/dialog_item.h"
#include "res/update_fw_template.h"
#include "ui/message_box.h"
#include "ui/update_fw_dlg.h"

namespace kestrel::bench {

FlashRun run_gui_read(int& argc, char** argv, std::uint16_t device_port,
                      const std::filesystem::path& image) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    std::unique_ptr<QApplication> app;
    if (!QCoreApplication::instance()) app = std::make_unique<QApplication>(argc, argv);
    SetMessageBoxHandler([](QWidget*, const QString&) {});
    open_link("127.0.0.1", device_port);

    CUpdateFWDlg dialog;
    const QString chosen = QString::fromStdString(image.string());
    dialog.SetFileChooser([chosen](QWidget*) { return chosen; });
    dialog.OnBnClickedBrowse();  // flash.bin goes beside the chosen file
    dialog.show();

    const LinkStats before = link_stats();
    const auto t0 = std::chrono::steady_clock::now();
    qobject_cast<QPushButton*>(GetDlgItem(&dialog, IDC_BUTTON_READ_FLASH))->click();
    while (dialog.IsWorkerRunning())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    FlashRun run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const LinkStats after = link_stats();
    run.exchanges = after.exchanges - before.exchanges;
    run.in_exchanges_s = static_cast<double>(after.exchange_ns - before.exchange_ns) / 1e9;
    run.ok = dialog.m_staticStatus->text() == "Flash read finished!";
    close_link();
    SetMessageBoxHandler({});
    return run;
}

FlashRun run_gui_update(int& argc, char** argv, std::uint16_t device_port,
                        const std::filesystem::path& image) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    std::unique_ptr<QApplication> app;
    if (!QCoreApplication::instance()) app = std::make_unique<QApplication>(argc, argv);
    QString last_box;
    SetMessageBoxHandler([&last_box](QWidget*, const QString& text) { last_box = text; });
    std::atomic<std::uint64_t> slept_us{0};
    SleepFunction real_sleep = set_sleep_function([&slept_us](std::uint32_t ms) {
        const auto t0 = std::chrono::steady_clock::now();
        usleep(ms * 1000u);
        slept_us +=
            static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                           std::chrono::steady_clock::now() - t0)
                                           .count());
    });
    open_link("127.0.0.1", device_port);

    CUpdateFWDlg dialog;
    const QString chosen = QString::fromStdString(image.string());
    dialog.SetFileChooser([chosen](QWidget*) { return chosen; });
    dialog.OnBnClickedBrowse();
    dialog.show();
    const auto press = [&dialog](int id) {
        qobject_cast<QPushButton*>(GetDlgItem(&dialog, id))->click();
    };

    const LinkStats before = link_stats();
    const auto t0 = std::chrono::steady_clock::now();
    press(IDC_BUTTON_WRITE_FLASH);
    // The write starts when its 3 s timer fires; then it runs until its worker ends.
    while (!dialog.IsWorkerRunning())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double timer_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    while (dialog.IsWorkerRunning())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const bool written = dialog.m_staticStatus->text() == "Flash write finished!";
    press(IDC_BUTTON_READ_FLASH);
    while (dialog.IsWorkerRunning())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const bool read = dialog.m_staticStatus->text() == "Flash read finished!";
    last_box.clear();
    press(IDC_BUTTON_VERIFY);
    FlashRun run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    run.fixed_wait_s = timer_s + static_cast<double>(slept_us.load()) / 1e6;
    const LinkStats after = link_stats();
    run.exchanges = after.exchanges - before.exchanges;
    run.in_exchanges_s = static_cast<double>(after.exchange_ns - before.exchange_ns) / 1e9;
    run.ok = written && read && last_box == "Verify OK !!!!";
    close_link();
    set_sleep_function(std::move(real_sleep));
    SetMessageBoxHandler({});
    return run;
}

}  // namespace kestrel::bench
