#include "res/dialog_template.h"
#include "res/resource_ids.h"

namespace kestrel {

const DialogTemplate& MainDialogTemplate() {
    using K = ControlKind;
    static const DialogTemplate tpl{
        IDD_KESTREL_DIALOG,
        "kestrel",
        320,
        225,
        "MS Shell Dlg",
        8,
        {
            {IDOK, K::DefPushButton, "OK", 255, 197, 50, 14},
            {IDC_STATIC, K::Label, "Server IP:", 22, 25, 43, 13},
            {IDC_STATIC, K::Label, "Server Port:", 138, 25, 43, 13},
            {IDC_EDIT_SERVER_IP, K::Edit, "", 67, 23, 58, 12},
            {IDC_EDIT_SERVER_PORT, K::Edit, "", 186, 24, 29, 12},
            {IDC_STATIC, K::GroupBox, "Change IP and MAC:", 18, 68, 253, 120},
            {IDC_CHECK_NEW_IP, K::CheckBox, "New IP:", 35, 90, 39, 13},
            {IDC_CHECK_NEW_MAC, K::CheckBox, "New MAC (Hex):", 35, 114, 48, 25, true},
            {IDC_EDIT_NEW_IP, K::Edit, "", 95, 90, 62, 12},
            {IDC_EDIT_NEW_PORT, K::Edit, "", 198, 89, 23, 12},
            {IDC_STATIC, K::Label, "Port:", 171, 92, 20, 13},
            {1006, K::Edit, "", 89, 121, 16, 12},
            {1007, K::Edit, "", 109, 121, 16, 12},
            {1008, K::Edit, "", 131, 121, 16, 12},
            {1009, K::Edit, "", 153, 121, 16, 12},
            {1010, K::Edit, "", 175, 121, 16, 12},
            {1011, K::Edit, "", 197, 121, 16, 12},
            {IDC_BUTTON_APPLY_IP, K::PushButton, "Apply", 233, 90, 26, 15},
            {IDC_BUTTON_APPLY_MAC, K::PushButton, "Apply", 233, 117, 26, 15},
            {IDC_BUTTON_START, K::PushButton, "Start", 233, 24, 26, 15},
            {IDC_STATIC, K::Label, "Device connection status:", 23, 49, 98, 12},
            {IDC_BUTTON_UPDATE_FW, K::PushButton, "UpdateFW", 31, 193, 44, 14},
            {IDC_STATIC_STATUS, K::Label, "", 139, 50, 44, 11},
            {IDC_CHECK_TS_PORT, K::CheckBox, "New TS Port:", 35, 146, 55, 13},
            {IDC_EDIT_TS_PORT, K::Edit, "", 97, 145, 23, 12},
            {IDC_BUTTON_APPLY_TS_PORT, K::PushButton, "Apply", 144, 143, 26, 15},
            {IDC_CHECK_MULTICAST, K::CheckBox, "Multicast Enable:", 36, 169, 67, 10},
            {IDC_EDIT_MULTICAST_IP, K::Edit, "", 109, 168, 62, 12},
            {IDC_BUTTON_APPLY_MULTICAST, K::PushButton, "Apply", 189, 167, 26, 15},
        },
    };
    return tpl;
}

}  // namespace kestrel
