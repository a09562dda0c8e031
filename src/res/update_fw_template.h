// Template 131, the firmware update dialog, and its control ids.
#pragma once

#include "res/dialog_template.h"

namespace kestrel {

inline constexpr int IDD_UPDATEFW_DIALOG = 131;

inline constexpr int IDC_BUTTON_RESET = 1017;
inline constexpr int IDC_BUTTON_READ_FLASH = 1021;
inline constexpr int IDC_BUTTON_VERIFY = 1022;
inline constexpr int IDC_EDIT_FILE = 1053;
inline constexpr int IDC_BUTTON_BROWSE = 1054;
inline constexpr int IDC_BUTTON_WRITE_FLASH = 1055;
inline constexpr int IDC_PROGRESS = 1056;
inline constexpr int IDC_STATIC_FLASH_STATUS = 1057;

const DialogTemplate& UpdateFWDialogTemplate();

}  // namespace kestrel
