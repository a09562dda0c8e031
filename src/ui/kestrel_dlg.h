// The main dialog (template 102): the server address and port, Start with the connection
// handshake and the display of the device's configuration block, the four configuration
// groups that change the block, the status text, UpdateFW and the About box.
//
// Every handler runs on the GUI thread and blocks it for the length of its register
// exchanges (a device that answers nothing ends a command within a few time-outs). Start and
// every command show "OK!" only when the device acknowledged all of it, "Failed!" otherwise.
// Members are public, as the data exchange and the handlers share them.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QIcon>
#include <QLineEdit>
#include <QMenu>
#include <QString>
#include <array>
#include <functional>

#include "ui/data_exchange.h"

namespace kestrel {

class CkestrelDlg : public QDialog {
    Q_OBJECT

  public:
    // Builds the controls from template 102 and loads icon 128; OnInitDialog runs when the
    // dialog is first shown. Takes no parent window.
    CkestrelDlg();
    ~CkestrelDlg() override;

    // Pull (controls into members, with validation) or push. False when the pull failed.
    bool UpdateData(bool save_and_validate = true);

    // A command of the system menu (here: the dialog's context menu). (nID & 0xFFF0) == 16
    // opens the About box; SC_CLOSE closes the dialog; other commands do nothing.
    void OnSysCommand(unsigned nID, qintptr lParam);
    // The icon shown for the minimised window.
    QIcon OnQueryDragIcon() const { return m_hIcon; }
    // The system menu that the context menu shows: Close, a separator and "&About kestrel...".
    QMenu* GetSystemMenu() const { return m_sysMenu; }

    void OnOK();
    void OnHelp();
    void OnBnClickedUpdateFW();
    void OnBnClickedStart();
    void OnBnClickedApplyIP();
    void OnBnClickedApplyMAC();
    void OnBnClickedNewIP();
    void OnBnClickedNewMAC();
    void OnBnClickedApplyTSPort();
    void OnBnClickedNewTSPort();
    void OnBnClickedMulticastEnable();
    void OnBnClickedApplyMulticast();

    QIcon m_hIcon;
    int m_nServerPort = 0;
    QString m_strServerIP;
    QCheckBox* m_chkNewIP = nullptr;
    QCheckBox* m_chkNewMAC = nullptr;
    QLineEdit* m_editNewIP = nullptr;
    int m_nNewPort = 0;
    std::array<QString, 6> m_strMAC;
    QString m_strStatus;
    int m_nTSPort = 0;
    QCheckBox* m_chkTSPort = nullptr;
    QLineEdit* m_editMulticastIP = nullptr;
    QCheckBox* m_chkMulticast = nullptr;
    QString m_strMulticastIP;

  protected:
    virtual void DoDataExchange(DataExchange& dx);
    virtual bool OnInitDialog();
    // Runs the About box modally.
    virtual void RunAboutBox();

    // Reads the configuration block field by field after a successful handshake and shows the
    // fields that arrived clean. True when every field did.
    bool ReadDeviceConfig();
    // [Server] IP = m_strServerIP, [Server] Port = m_nServerPort.
    void SaveServerSettings();

    void showEvent(QShowEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    void ConnectMessageMap();
    void EnableGroup(std::initializer_list<int> ids, bool enable);
    // Shows a command's outcome in the status text without a push of the other fields.
    void ShowStatus(bool ok);
    // Shows message, then focuses the control and selects its text, as a failed pull does.
    void RefuseField(int id, const QString& message);

    // The group members as the last successful pull or push left them: what unticking a group
    // puts back (a failed pull may leave an out-of-range value in a member).
    struct GroupValues {
        int newPort = 0;
        std::array<QString, 6> mac;
        int tsPort = 0;
        QString multicastIP;
    };
    GroupValues m_lastGood;

    QMenu* m_sysMenu = nullptr;
    bool m_initialized = false;
};

}  // namespace kestrel
