// Finding and addressing a dialog's controls by their template id.
#pragma once

#include <QString>
#include <QWidget>

namespace kestrel {

// Marks `control` as the dialog's control with that id (the builder does this).
void SetDlgCtrlID(QWidget* control, int id);

// The id the builder gave the control; 0 for a widget without one.
int GetDlgCtrlID(const QWidget* control);

// The dialog's control with that id, or nullptr.
QWidget* GetDlgItem(const QWidget* dialog, int id);

// A control's text: an edit's contents, a button's or label's text, a group box's title.
QString ControlText(const QWidget* control);

// ControlText of the dialog's control with that id; empty when no such control exists.
QString GetDlgItemText(const QWidget* dialog, int id);
void SetDlgItemText(QWidget* dialog, int id, const QString& text);

// Enables or disables the control; does nothing when no such control exists.
void EnableDlgItem(QWidget* dialog, int id, bool enable);

}  // namespace kestrel
