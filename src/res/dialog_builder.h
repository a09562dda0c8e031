// Turns a dialog template into Qt widgets. Dialog units convert through the dialog font: a
// horizontal unit is a quarter of the font's average character width, a vertical unit an
// eighth of its height.
#pragma once

#include <QDialog>
#include <QFont>
#include <QRect>

#include "res/dialog_template.h"

namespace kestrel {

struct DialogBaseUnits {
    int cx;  // average character width in pixels
    int cy;  // character height in pixels
};

// The template's font; "MS Shell Dlg" resolves to an installed sans-serif face.
QFont DialogFont(const DialogTemplate& tpl);

// Average width of the letters A-Z and a-z (rounded) and the line height of the font.
DialogBaseUnits BaseUnitsOf(const QFont& font);

// A rectangle in dialog units in pixels: x * cx / 4 and y * cy / 8, rounded to the nearest.
QRect MapDialogRect(const DialogBaseUnits& units, int x, int y, int cx, int cy);

// Gives `dialog` the template's caption, font, fixed client size and window frame (title,
// system menu and close box), creates the controls as its children in tab order, and makes
// the default push button the dialog's default. Controls are found with GetDlgItem afterwards.
// Edits hold one line: text pasted or dropped into one is cut at its first line break. Check
// boxes toggle on a click anywhere in their rectangle.
void BuildDialog(QDialog& dialog, const DialogTemplate& tpl);

}  // namespace kestrel
