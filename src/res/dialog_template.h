// Dialog templates as data: controls with ids, kinds, texts and rectangles in dialog units,
// listed in tab order. BuildDialog (dialog_builder.h) turns one into widgets.
#pragma once

#include <string>
#include <vector>

namespace kestrel {

enum class ControlKind {
    DefPushButton,  // the dialog's default button (Enter presses it)
    PushButton,
    Label,  // static text, left-aligned, wraps at its width
    Edit,   // bordered single-line edit that scrolls horizontally
    GroupBox,
    CheckBox,  // toggles itself when clicked
    Icon,      // static icon; its size follows the icon, the rectangle gives the place
    ProgressBar,
};

struct ControlTemplate {
    int id;
    ControlKind kind;
    std::string text;
    int x, y, cx, cy;
    bool multiline = false;  // check box and button text wraps onto several lines
    int resource = 0;        // the icon shown by an Icon control
};

struct DialogTemplate {
    int id;
    std::string caption;
    int cx, cy;  // client area in dialog units
    std::string font_face;
    int point_size;
    std::vector<ControlTemplate> controls;  // tab order
};

// Template 102, the main dialog.
const DialogTemplate& MainDialogTemplate();
// Template 100, the About box.
const DialogTemplate& AboutDialogTemplate();

}  // namespace kestrel
