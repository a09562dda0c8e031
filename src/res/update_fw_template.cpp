#include "res/update_fw_template.h"

#include "res/resource_ids.h"

namespace kestrel {

const DialogTemplate& UpdateFWDialogTemplate() {
    using K = ControlKind;
    static const DialogTemplate tpl{
        IDD_UPDATEFW_DIALOG,
        "UpdateFW",
        318,
        145,
        "MS Shell Dlg",
        8,
        {
            {IDC_BUTTON_WRITE_FLASH, K::PushButton, "Write Flash", 120, 89, 50, 14},
            {IDC_BUTTON_READ_FLASH, K::PushButton, "Read Flash", 53, 89, 50, 14},
            {IDC_BUTTON_VERIFY, K::PushButton, "Verify", 188, 89, 50, 14},
            {IDC_STATIC, K::Label, "Update File:", 21, 39, 40, 8},
            {IDC_EDIT_FILE, K::Edit, "", 71, 32, 156, 14},
            {IDC_BUTTON_BROWSE, K::PushButton, "......", 242, 33, 46, 16},
            {IDC_PROGRESS, K::ProgressBar, "", 54, 65, 181, 13},
            {IDC_STATIC_FLASH_STATUS, K::Label, "", 32, 117, 165, 14},
            {IDC_BUTTON_RESET, K::PushButton, "Reset", 265, 119, 42, 15},
        },
    };
    return tpl;
}

}  // namespace kestrel
