// One fixture for the main dialog's widget tests: the settings file in a temporary directory,
// message boxes recorded instead of shown, traces captured, sleeps counted, and a simulated
// device on an ephemeral loopback port. Controls are driven by their template ids.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QLineEdit>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/private_profile.h"
#include "device/settings_path.h"
#include "link/transport.h"
#include "res/dialog_item.h"
#include "res/resource_ids.h"
#include "sim/device.h"
#include "sim/server.h"
#include "support/capture.h"
#include "support/udp.h"
#include "ui/kestrel_dlg.h"
#include "ui/message_box.h"

namespace kestrel::test {

// One field write of the configuration block: the bytes a write command carried to its offset.
struct FieldWrite {
    std::uint16_t offset;
    std::vector<std::uint8_t> bytes;
    bool operator==(const FieldWrite&) const = default;
};

// One field read: the offset and byte count of a read command.
struct FieldRead {
    std::uint16_t offset;
    int count;
    bool operator==(const FieldRead&) const = default;
};

class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the simulated device on 127.0.0.1 and an ephemeral port. Change device_.config()
    // before, or under server_->lock() after.
    void StartDevice();
    // The dialog, shown (so that its initialisation has run).
    CkestrelDlg& Dlg();

    QLineEdit* Edit(int id) { return qobject_cast<QLineEdit*>(GetDlgItem(&Dlg(), id)); }
    QCheckBox* Check(int id) { return qobject_cast<QCheckBox*>(GetDlgItem(&Dlg(), id)); }
    QAbstractButton* Button(int id) {
        return qobject_cast<QAbstractButton*>(GetDlgItem(&Dlg(), id));
    }
    QString Text(int id) { return GetDlgItemText(&Dlg(), id); }
    void SetText(int id, const QString& text) { SetDlgItemText(&Dlg(), id, text); }
    bool Enabled(int id) { return GetDlgItem(&Dlg(), id)->isEnabled(); }
    void Click(int id) { Button(id)->click(); }

    // Fills in the server fields with the device's address and presses Start.
    void ConnectToDevice();
    // The ids among `ids` whose control is enabled.
    std::vector<int> EnabledOf(std::initializer_list<int> ids);

    std::string Setting(const std::string& section, const std::string& key) {
        return ReadProfileValue(section, key, SettingsFilePath());
    }
    void WriteSettingsFile(const std::string& content);
    std::string SettingsFileContent();

    std::vector<sim::Exchange> Registers();
    std::vector<FieldWrite> FieldWrites();
    std::vector<FieldRead> FieldReads();
    int Commits();
    int ReadsOf(std::uint16_t address);

    QTemporaryDir dir_;
    std::string saved_exe_dir_;
    MessageBoxHandler saved_box_;
    QStringList boxes_;
    TraceCapture traces_;
    SleepCounter sleeps_;
    sim::Device device_;
    sim::ServerOptions server_options_;  // set before StartDevice
    std::unique_ptr<sim::Server> server_;
    std::unique_ptr<CkestrelDlg> dlg_;
};

}  // namespace kestrel::test
