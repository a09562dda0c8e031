// The configuration commands of the main dialog: the check boxes that unlock a group and the
// Apply buttons that write one or two fields of the device's configuration block. Each handler
// pulls, checks its fields, calls the device layer and shows what happened.
#include <QLineEdit>
#include <string>

#include "device/address.h"
#include "device/config_commands.h"
#include "device/ipv4_endpoint.h"
#include "device/mac.h"
#include "device/private_profile.h"
#include "device/settings_path.h"
#include "link/ipv4.h"
#include "platform/format.h"
#include "res/dialog_item.h"
#include "res/resource_ids.h"
#include "ui/kestrel_dlg.h"
#include "ui/message_box.h"

namespace kestrel {

void CkestrelDlg::ShowStatus(bool ok) {
    m_strStatus = ok ? QStringLiteral("OK!") : QStringLiteral("Failed!");
    SetDlgItemText(this, IDC_STATIC_STATUS, m_strStatus);
}

// Unticking a box puts its group's fields and members back to their last good values, so that a
// refused entry left in a disabled field can never block a later pull.
void CkestrelDlg::OnBnClickedNewIP() {
    const bool checked = m_chkNewIP->isChecked();
    if (!checked) {
        m_nNewPort = m_lastGood.newPort;
        SetDlgItemText(this, IDC_EDIT_NEW_PORT, QString::number(m_nNewPort));
    }
    EnableGroup({IDC_EDIT_NEW_IP, IDC_BUTTON_APPLY_IP, IDC_EDIT_NEW_PORT}, checked);
}

void CkestrelDlg::OnBnClickedNewMAC() {
    const bool checked = m_chkNewMAC->isChecked();
    if (!checked) {
        m_strMAC = m_lastGood.mac;
        for (int i = 0; i < 6; ++i)
            SetDlgItemText(this, IDC_EDIT_MAC1 + i, m_strMAC[static_cast<std::size_t>(i)]);
    }
    EnableGroup({1006, 1007, 1008, 1009, 1010, 1011, IDC_BUTTON_APPLY_MAC}, checked);
}

void CkestrelDlg::OnBnClickedNewTSPort() {
    const bool checked = m_chkTSPort->isChecked();
    if (!checked) {
        m_nTSPort = m_lastGood.tsPort;
        SetDlgItemText(this, IDC_EDIT_TS_PORT, QString::number(m_nTSPort));
    }
    EnableGroup({IDC_EDIT_TS_PORT, IDC_BUTTON_APPLY_TS_PORT}, checked);
}

void CkestrelDlg::OnBnClickedMulticastEnable() {
    const bool checked = m_chkMulticast->isChecked();
    EnableGroup({IDC_EDIT_MULTICAST_IP, IDC_BUTTON_APPLY_MULTICAST}, checked);
    if (checked) {
        const std::string stored = ReadProfileValue("Multcast", "IP", SettingsFilePath());
        m_editMulticastIP->setText(QString::fromStdString(stored));
    } else {
        m_strMulticastIP = m_lastGood.multicastIP;
        m_editMulticastIP->setText(m_strMulticastIP);
    }
    const device::MulticastEnableResult result = device::set_multicast_enable(checked);
    ShowStatus(result.status.ok());
}

void CkestrelDlg::OnBnClickedApplyIP() {
    // The pull and the checks come before the group closes, so that a refused entry can be
    // corrected in place; a refused command touches neither device, link nor file.
    if (!UpdateData(true)) return;
    const QString text = GetDlgItemText(this, IDC_EDIT_NEW_IP);
    const Result<Ipv4Net> address = device::check_device_ip(text.toStdString(), "New IP");
    if (!address) {
        RefuseField(IDC_EDIT_NEW_IP, QString::fromStdString(address.reason()));
        return;
    }
    const Result<device::Port> port = device::check_device_port(m_nNewPort, "Port");
    if (!port) {
        RefuseField(IDC_EDIT_NEW_PORT, QString::fromStdString(port.reason()));
        return;
    }

    EnableGroup({IDC_EDIT_NEW_IP, IDC_BUTTON_APPLY_IP, IDC_EDIT_NEW_PORT}, false);
    m_chkNewIP->setChecked(false);
    const device::ApplyIpResult result =
        device::apply_ip_and_port(text.toStdString(), device::Ipv4Endpoint{*address, *port});
    // The server fields show where the link now talks; the file keeps them only when the device
    // acknowledged the whole change.
    if (result.link_followed) {
        m_strServerIP = text;
        m_nServerPort = m_nNewPort;
    }
    if (result.status.ok()) SaveServerSettings();
    m_strStatus = result.status.ok() ? QStringLiteral("OK!") : QStringLiteral("Failed!");
    UpdateData(false);
}

void CkestrelDlg::OnBnClickedApplyMAC() {
    if (!UpdateData(true)) return;
    // Each field is parsed once, here; the first that is not two hex digits is refused in place.
    device::Mac mac{};
    std::string typed_pairs;
    for (std::size_t i = 0; i < mac.size(); ++i) {
        const std::string field = m_strMAC[i].toStdString();
        const Result<std::uint8_t> byte = device::parse_mac_field(field, i);
        if (!byte) {
            RefuseField(IDC_EDIT_MAC1 + static_cast<int>(i), QString::fromStdString(byte.reason()));
            return;
        }
        mac[i] = *byte;
        typed_pairs += field;
    }

    EnableGroup({1006, 1007, 1008, 1009, 1010, 1011, IDC_BUTTON_APPLY_MAC}, false);
    m_chkNewMAC->setChecked(false);
    ShowStatus(device::apply_mac(mac, typed_pairs).ok());
}

void CkestrelDlg::OnBnClickedApplyTSPort() {
    if (!UpdateData(true)) return;
    EnableGroup({IDC_EDIT_TS_PORT, IDC_BUTTON_APPLY_TS_PORT}, false);
    m_chkTSPort->setChecked(false);
    const Status result = device::apply_ts_port(static_cast<std::uint16_t>(m_nTSPort));
    m_strStatus = result.ok() ? QStringLiteral("OK!") : QStringLiteral("Failed!");
    UpdateData(false);
    // The whole trace text is what the file keeps under "TS Port", once the device took it.
    if (result.ok()) {
        WriteProfileValue("Server", "TS Port", format("New TS port %d", m_nTSPort),
                          SettingsFilePath());
    }
}

void CkestrelDlg::OnBnClickedApplyMulticast() {
    if (!UpdateData(true)) return;
    const QString text = GetDlgItemText(this, IDC_EDIT_MULTICAST_IP);
    const Result<Ipv4Net> address = device::check_multicast_ip(text.toStdString(), "Multicast IP");
    if (!address) {
        RefuseField(IDC_EDIT_MULTICAST_IP, QString::fromStdString(address.reason()));
        return;
    }
    const Status result = device::apply_multicast_ip(text.toStdString(), *address);
    m_strStatus = result.ok() ? QStringLiteral("OK!") : QStringLiteral("Failed!");
    UpdateData(false);
    if (result.ok()) {
        const auto bytes = ipv4_bytes(*address);
        WriteProfileValue("Multcast", "IP", format_ipv4(bytes.data()), SettingsFilePath());
    }
}

}  // namespace kestrel
