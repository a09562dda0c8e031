#include "gui_bench.h"

#include <QApplication>
#include <QPushButton>
#include <chrono>
#include <memory>

#include "flash/dialog/update_fw_dlg.h"
#include "link/transport.h"
#include "res/dialog_item.h"
#include "res/update_fw_template.h"
#include "ui/message_box.h"

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

}  // namespace kestrel::bench
