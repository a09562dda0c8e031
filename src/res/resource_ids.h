// Numeric ids of the dialog templates, strings, icon, controls and commands.
#pragma once

namespace kestrel {

inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDD_KESTREL_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128;

// Labels and group boxes that no code addresses.
inline constexpr int IDC_STATIC = -1;

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;

inline constexpr int IDC_EDIT_SERVER_IP = 1000;
inline constexpr int IDC_EDIT_SERVER_PORT = 1001;
inline constexpr int IDC_CHECK_NEW_IP = 1002;
inline constexpr int IDC_CHECK_NEW_MAC = 1003;
inline constexpr int IDC_EDIT_NEW_IP = 1004;
inline constexpr int IDC_EDIT_NEW_PORT = 1005;
inline constexpr int IDC_EDIT_MAC1 = 1006;  // MAC byte i is in IDC_EDIT_MAC1 + i, i = 0..5
inline constexpr int IDC_EDIT_MAC6 = 1011;
inline constexpr int IDC_BUTTON_APPLY_IP = 1012;
inline constexpr int IDC_BUTTON_APPLY_MAC = 1013;
inline constexpr int IDC_BUTTON_START = 1014;
inline constexpr int IDC_BUTTON_UPDATE_FW = 1015;
inline constexpr int IDC_STATIC_STATUS = 1016;
inline constexpr int IDC_CHECK_TS_PORT = 1017;
inline constexpr int IDC_EDIT_TS_PORT = 1019;
inline constexpr int IDC_BUTTON_APPLY_TS_PORT = 1020;
inline constexpr int IDC_CHECK_MULTICAST = 1021;
inline constexpr int IDC_EDIT_MULTICAST_IP = 1022;
inline constexpr int IDC_BUTTON_APPLY_MULTICAST = 1023;

// System-menu command of the About item; the low four bits are the system's own.
inline constexpr unsigned IDM_ABOUTBOX = 0x0010;
inline constexpr unsigned SC_CLOSE = 0xF060;
// The Help command of the application's command map.
inline constexpr unsigned ID_HELP = 0xE146;

}  // namespace kestrel
