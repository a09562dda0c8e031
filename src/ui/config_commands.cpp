// The configuration commands of the main dialog: the check boxes that unlock a group and the
// Apply buttons that write one or two fields of the device's configuration block.
#include <arpa/inet.h>

#include <QLineEdit>
#include <array>

#include "link/ipv4.h"
#include "link/mailbox.h"
#include "link/transport.h"
#include "platform/format.h"
#include "platform/trace.h"
#include "res/dialog_item.h"
#include "res/resource_ids.h"
#include "ui/hex_pairs.h"
#include "ui/kestrel_dlg.h"
#include "ui/message_box.h"
#include "ui/private_profile.h"
#include "ui/settings_path.h"

namespace kestrel {
namespace {

const QString kBadAddress = QStringLiteral("Enter a valid IP address (for example 192.168.1.20).");

std::array<std::uint8_t, 2> PortBytes(int port) {
    return {static_cast<std::uint8_t>((port >> 8) & 0xFF), static_cast<std::uint8_t>(port & 0xFF)};
}

}  // namespace

void CkestrelDlg::OnBnClickedNewIP() {
    EnableGroup({IDC_EDIT_NEW_IP, IDC_BUTTON_APPLY_IP, IDC_EDIT_NEW_PORT}, m_chkNewIP->isChecked());
}

void CkestrelDlg::OnBnClickedNewMAC() {
    EnableGroup({1006, 1007, 1008, 1009, 1010, 1011, IDC_BUTTON_APPLY_MAC},
                m_chkNewMAC->isChecked());
}

void CkestrelDlg::OnBnClickedNewTSPort() {
    EnableGroup({IDC_EDIT_TS_PORT, IDC_BUTTON_APPLY_TS_PORT}, m_chkTSPort->isChecked());
}

void CkestrelDlg::OnBnClickedMulticastEnable() {
    const bool checked = m_chkMulticast->isChecked();
    const std::array<std::uint8_t, 1> value{static_cast<std::uint8_t>(checked ? 1 : 0)};
    EnableGroup({IDC_EDIT_MULTICAST_IP, IDC_BUTTON_APPLY_MULTICAST}, checked);
    if (checked) {
        const std::string stored = ReadProfileValue("Multcast", "IP", SettingsFilePath());
        m_editMulticastIP->setText(QString::fromStdString(stored));
    }
    mailbox_write_block(kCfgMulticastEnLen, kCfgMulticastEnOffset, value);
    mailbox_commit();
    std::array<std::uint8_t, 8> back{};
    mailbox_read_block(kCfgMulticastEnLen, kCfgMulticastEnOffset, back);
    tracef("test read: %d", back[0]);
}

void CkestrelDlg::OnBnClickedApplyIP() {
    // The pull and the address check come before the group closes, so that a refused entry
    // can be corrected in place; a refused command touches neither device, link nor file.
    if (!UpdateData(true)) return;
    const QString text = GetDlgItemText(this, IDC_EDIT_NEW_IP);
    const auto address = parse_ipv4(text.toStdString());
    if (!address) {
        RefuseField(IDC_EDIT_NEW_IP, kBadAddress);
        return;
    }

    EnableGroup({IDC_EDIT_NEW_IP, IDC_BUTTON_APPLY_IP, IDC_EDIT_NEW_PORT}, false);
    m_chkNewIP->setChecked(false);
    trace("new......");
    trace(text.toStdString());
    const auto ip = ipv4_bytes(*address);
    trace(format_ipv4(ip.data()));
    host_controled_by();
    mailbox_write_block(kCfgIpLen, kCfgIpOffset, ip);

    tracef("%x", static_cast<unsigned>(m_nNewPort));
    tracef("%x", static_cast<unsigned>(htons(static_cast<std::uint16_t>(m_nNewPort))));
    host_controled_by();
    mailbox_write_block(kCfgPortLen, kCfgPortOffset, PortBytes(m_nNewPort));
    mailbox_commit();

    // The device now answers at the new address and port; the link follows it.
    m_strServerIP = text;
    m_nServerPort = m_nNewPort;
    set_peer_address(*address, static_cast<std::uint16_t>(m_nNewPort));
    SaveServerSettings();
    UpdateData(false);
}

void CkestrelDlg::OnBnClickedApplyMAC() {
    if (!UpdateData(true)) return;
    for (int i = 0; i < 6; ++i) {
        if (!IsHexPair(m_strMAC[static_cast<std::size_t>(i)].toStdString())) {
            RefuseField(IDC_EDIT_MAC1 + i,
                        QStringLiteral("MAC field %1 must hold exactly two hex digits (00 to ff).")
                            .arg(i + 1));
            return;
        }
    }

    EnableGroup({1006, 1007, 1008, 1009, 1010, 1011, IDC_BUTTON_APPLY_MAC}, false);
    m_chkNewMAC->setChecked(false);
    QString typed;
    for (int id = IDC_EDIT_MAC1; id <= IDC_EDIT_MAC6; ++id)
        typed += GetDlgItemText(this, id);
    trace(typed.toStdString());
    trace(m_strMAC[0].toStdString());
    std::array<std::uint8_t, 6> mac{};
    for (std::size_t i = 0; i < mac.size(); ++i) {
        HexPairsToBytes(m_strMAC[i].toStdString(), std::span<std::uint8_t>(&mac[i], 1));
    }
    host_controled_by();
    // The device takes a new MAC address without a commit.
    mailbox_write_block(kCfgMacLen, kCfgMacOffset, mac);
}

void CkestrelDlg::OnBnClickedApplyTSPort() {
    if (!UpdateData(true)) return;
    EnableGroup({IDC_EDIT_TS_PORT, IDC_BUTTON_APPLY_TS_PORT}, false);
    m_chkTSPort->setChecked(false);
    const std::string text = format("New TS port %d", m_nTSPort);
    trace(text);
    host_controled_by();
    mailbox_write_block(kCfgTsPortLen, kCfgTsPortOffset, PortBytes(m_nTSPort));
    mailbox_commit();
    UpdateData(false);
    // The whole trace text is what the file keeps under "TS Port".
    WriteProfileValue("Server", "TS Port", text, SettingsFilePath());
}

void CkestrelDlg::OnBnClickedApplyMulticast() {
    if (!UpdateData(true)) return;
    const QString text = GetDlgItemText(this, IDC_EDIT_MULTICAST_IP);
    const auto address = parse_ipv4(text.toStdString());
    if (!address) {
        RefuseField(IDC_EDIT_MULTICAST_IP, kBadAddress);
        return;
    }
    trace("multcast ip......");
    trace(text.toStdString());
    const auto bytes = ipv4_bytes(*address);
    const std::string dotted = format_ipv4(bytes.data());
    trace(dotted);
    host_controled_by();
    mailbox_write_block(kCfgMulticastIpLen, kCfgMulticastIpOffset, bytes);
    mailbox_commit();
    UpdateData(false);
    WriteProfileValue("Multcast", "IP", dotted, SettingsFilePath());
}

}  // namespace kestrel
