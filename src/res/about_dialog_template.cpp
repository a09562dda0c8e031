#include "res/dialog_template.h"
#include "res/resource_ids.h"

namespace kestrel {

const DialogTemplate& AboutDialogTemplate() {
    using K = ControlKind;
    static const DialogTemplate tpl{
        IDD_ABOUTBOX,
        "About kestrel",
        170,
        62,
        "MS Shell Dlg",
        8,
        {
            {IDC_STATIC, K::Icon, "", 14, 14, 0, 0, false, IDR_MAINFRAME},
            {IDC_STATIC, K::Label, "kestrel, Version 1.0", 42, 14, 114, 8},
            {IDOK, K::DefPushButton, "OK", 113, 41, 50, 14},
        },
    };
    return tpl;
}

}  // namespace kestrel
