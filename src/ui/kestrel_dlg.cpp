#include "ui/kestrel_dlg.h"

#include "ui/update_fw_dlg.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QKeySequence>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QShortcut>
#include <QShowEvent>

#include "device/address.h"
#include "device/config_read.h"
#include "device/connection.h"
#include "device/private_profile.h"
#include "device/settings_path.h"
#include "link/ipv4.h"
#include "link/transport.h"
#include "platform/format.h"
#include "platform/trace.h"
#include "res/app_icon.h"
#include "res/dialog_builder.h"
#include "res/dialog_item.h"
#include "res/resource_ids.h"
#include "res/string_table.h"
#include "ui/about_dlg.h"
#include "ui/message_box.h"

namespace kestrel {

CkestrelDlg::CkestrelDlg() : QDialog(nullptr), m_hIcon(LoadAppIcon(IDR_MAINFRAME)) {
    BuildDialog(*this, MainDialogTemplate());
    ConnectMessageMap();
}

CkestrelDlg::~CkestrelDlg() = default;

void CkestrelDlg::ConnectMessageMap() {
    const auto on_click = [this](int id, void (CkestrelDlg::*handler)()) {
        auto* button = qobject_cast<QAbstractButton*>(GetDlgItem(this, id));
        connect(button, &QAbstractButton::clicked, this, handler);
    };
    on_click(IDOK, &CkestrelDlg::OnOK);
    on_click(IDC_BUTTON_UPDATE_FW, &CkestrelDlg::OnBnClickedUpdateFW);
    on_click(IDC_BUTTON_START, &CkestrelDlg::OnBnClickedStart);
    on_click(IDC_BUTTON_APPLY_IP, &CkestrelDlg::OnBnClickedApplyIP);
    on_click(IDC_BUTTON_APPLY_MAC, &CkestrelDlg::OnBnClickedApplyMAC);
    on_click(IDC_CHECK_NEW_IP, &CkestrelDlg::OnBnClickedNewIP);
    on_click(IDC_CHECK_NEW_MAC, &CkestrelDlg::OnBnClickedNewMAC);
    on_click(IDC_BUTTON_APPLY_TS_PORT, &CkestrelDlg::OnBnClickedApplyTSPort);
    on_click(IDC_CHECK_TS_PORT, &CkestrelDlg::OnBnClickedNewTSPort);
    on_click(IDC_CHECK_MULTICAST, &CkestrelDlg::OnBnClickedMulticastEnable);
    on_click(IDC_BUTTON_APPLY_MULTICAST, &CkestrelDlg::OnBnClickedApplyMulticast);
    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(help, &QShortcut::activated, this, &CkestrelDlg::OnHelp);
}

bool CkestrelDlg::UpdateData(bool save_and_validate) {
    DataExchange dx(this, save_and_validate);
    DoDataExchange(dx);
    if (dx.failed()) return false;
    m_lastGood = GroupValues{m_nNewPort, m_strMAC, m_nTSPort, m_strMulticastIP};
    return true;
}

void CkestrelDlg::DoDataExchange(DataExchange& dx) {
    dx.Text(IDC_EDIT_SERVER_PORT, m_nServerPort);
    dx.MinMaxInt(m_nServerPort, 0, 65535);
    dx.Text(IDC_EDIT_SERVER_IP, m_strServerIP);
    dx.Control(IDC_CHECK_NEW_IP, m_chkNewIP);
    dx.Control(IDC_CHECK_NEW_MAC, m_chkNewMAC);
    dx.Control(IDC_EDIT_NEW_IP, m_editNewIP);
    dx.Text(IDC_EDIT_NEW_PORT, m_nNewPort);
    dx.MinMaxInt(m_nNewPort, 0, 65535);
    for (int i = 0; i < 6; ++i)
        dx.Text(IDC_EDIT_MAC1 + i, m_strMAC[static_cast<std::size_t>(i)]);
    dx.Text(IDC_STATIC_STATUS, m_strStatus);
    dx.Text(IDC_EDIT_TS_PORT, m_nTSPort);
    // The device keeps 16 bits of TS port, like the other ports.
    dx.MinMaxInt(m_nTSPort, 0, 65535);
    dx.Control(IDC_CHECK_TS_PORT, m_chkTSPort);
    dx.Control(IDC_EDIT_MULTICAST_IP, m_editMulticastIP);
    dx.Control(IDC_CHECK_MULTICAST, m_chkMulticast);
    dx.Text(IDC_EDIT_MULTICAST_IP, m_strMulticastIP);
}

bool CkestrelDlg::OnInitDialog() {
    UpdateData(false);

    // Window managers keep the title-bar menu to themselves, so the system menu opens as the
    // dialog's context menu.
    m_sysMenu = new QMenu(this);
    m_sysMenu->addAction(QStringLiteral("&Close"))->setData(SC_CLOSE);
    const QString about = LoadResourceString(IDS_ABOUTBOX);
    if (!about.isEmpty()) {
        m_sysMenu->addSeparator();
        m_sysMenu->addAction(about)->setData(IDM_ABOUTBOX);
    }
    connect(m_sysMenu, &QMenu::triggered, this,
            [this](QAction* action) { OnSysCommand(action->data().toUInt(), 0); });

    setWindowIcon(m_hIcon);
    setWindowTitle(QStringLiteral("Kestrel"));

    // Shown as stored; the members take them at the next pull, where the port is validated.
    const std::string path = SettingsFilePath();
    SetDlgItemText(this, IDC_EDIT_SERVER_IP,
                   QString::fromStdString(ReadProfileValue("Server", "IP", path)));
    SetDlgItemText(this, IDC_EDIT_SERVER_PORT,
                   QString::fromStdString(ReadProfileValue("Server", "Port", path)));

    // A MAC field holds one byte: at most two hex digits.
    for (int id = IDC_EDIT_MAC1; id <= IDC_EDIT_MAC6; ++id) {
        if (auto* edit = qobject_cast<QLineEdit*>(GetDlgItem(this, id))) {
            edit->setMaxLength(2);
            edit->setValidator(new QRegularExpressionValidator(
                QRegularExpression(QStringLiteral("[0-9A-Fa-f]{0,2}")), edit));
        }
    }

    for (int id : {IDC_EDIT_NEW_IP, IDC_EDIT_NEW_PORT, IDC_BUTTON_APPLY_IP, 1006, 1007, 1008, 1009,
                   1010, 1011, IDC_BUTTON_APPLY_MAC, IDC_EDIT_TS_PORT, IDC_BUTTON_APPLY_TS_PORT,
                   IDC_EDIT_MULTICAST_IP, IDC_BUTTON_APPLY_MULTICAST}) {
        EnableDlgItem(this, id, false);
    }

    // The link lock exists for the whole process; every register exchange takes it.
    (void)link_lock();
    return true;
}

void CkestrelDlg::showEvent(QShowEvent* event) {
    if (!m_initialized) {
        m_initialized = true;
        if (OnInitDialog()) {
            for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
                if (!child->isWindow() && child->isEnabled() &&
                    (child->focusPolicy() & Qt::TabFocus)) {
                    child->setFocus(Qt::TabFocusReason);
                    break;
                }
            }
        }
    }
    QDialog::showEvent(event);
}

void CkestrelDlg::contextMenuEvent(QContextMenuEvent* event) {
    if (m_sysMenu) m_sysMenu->exec(event->globalPos());
}

void CkestrelDlg::OnSysCommand(unsigned nID, qintptr /*lParam*/) {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        RunAboutBox();
    } else if ((nID & 0xFFF0) == SC_CLOSE) {
        reject();
    }
}

void CkestrelDlg::RunAboutBox() {
    CAboutDlg dlgAbout(this);
    dlgAbout.exec();
}

void CkestrelDlg::OnOK() {
    if (UpdateData(true)) accept();
}

// The program has no help pages; the Help command (F1) shows what it has to say about itself.
void CkestrelDlg::OnHelp() {
    RunAboutBox();
}

// Opens the firmware update dialog modally; nothing here changes, and no Start is needed first.
void CkestrelDlg::OnBnClickedUpdateFW() {
    CUpdateFWDlg dlg(this);
    dlg.exec();
}

void CkestrelDlg::SaveServerSettings() {
    const std::string path = SettingsFilePath();
    WriteProfileValue("Server", "IP", m_strServerIP.toStdString(), path);
    WriteProfileValue("Server", "Port", format("%d", m_nServerPort), path);
}

void CkestrelDlg::OnBnClickedStart() {
    // A press whose fields do not validate connects nowhere and saves nothing.
    if (!UpdateData(true)) return;
    const Result<Ipv4Net> server =
        device::check_server_ip(m_strServerIP.toStdString(), "Server IP");
    if (!server) {
        RefuseField(IDC_EDIT_SERVER_IP, QString::fromStdString(server.reason()));
        return;
    }
    SaveServerSettings();
    const Status link = device::connect_device(m_strServerIP.toStdString(), *server,
                                               static_cast<std::uint16_t>(m_nServerPort));
    // "OK!" only for a handshake and a configuration read in which every field arrived clean.
    const bool ok = link.ok() && ReadDeviceConfig();
    m_strStatus = ok ? QStringLiteral("OK!") : QStringLiteral("Failed!");
    UpdateData(false);
}

bool CkestrelDlg::ReadDeviceConfig() {
    const device::ConfigReadResult read = device::read_device_config();
    const device::DeviceConfig& cfg = read.config;
    // A field that did not arrive keeps what its control showed before.
    if (cfg.mac) {
        for (std::size_t i = 0; i < 6; ++i)
            m_strMAC[i] = QString::fromStdString(format("%.2x", (*cfg.mac)[i]));
    }
    if (cfg.ip) {
        const auto ip = ipv4_bytes(*cfg.ip);
        SetDlgItemText(this, IDC_EDIT_NEW_IP, QString::fromStdString(format_ipv4(ip.data())));
    }
    if (cfg.port) m_nNewPort = *cfg.port;
    if (cfg.ts_port) m_nTSPort = *cfg.ts_port;
    if (cfg.multicast_enable == 1) {
        m_chkMulticast->setChecked(true);
        EnableDlgItem(this, IDC_BUTTON_APPLY_MULTICAST, true);
        EnableDlgItem(this, IDC_EDIT_MULTICAST_IP, true);
        if (cfg.multicast_ip) {
            const auto bytes = ipv4_bytes(*cfg.multicast_ip);
            m_strMulticastIP = QString::fromStdString(format_ipv4(bytes.data()));
            SetDlgItemText(this, IDC_EDIT_MULTICAST_IP, m_strMulticastIP);
        }
    } else if (cfg.multicast_enable) {
        // The device streams no multicast: a box ticked by an earlier Start must not say it does.
        m_chkMulticast->setChecked(false);
        EnableDlgItem(this, IDC_EDIT_MULTICAST_IP, false);
        EnableDlgItem(this, IDC_BUTTON_APPLY_MULTICAST, false);
    }
    return read.status().ok();
}

void CkestrelDlg::EnableGroup(std::initializer_list<int> ids, bool enable) {
    for (int id : ids)
        EnableDlgItem(this, id, enable);
}

void CkestrelDlg::RefuseField(int id, const QString& message) {
    ShowMessageBox(this, message);
    if (QWidget* control = GetDlgItem(this, id)) {
        control->setFocus(Qt::OtherFocusReason);
        if (auto* edit = qobject_cast<QLineEdit*>(control)) edit->selectAll();
    }
}

}  // namespace kestrel
