// Every message box of the program: OK button, warning icon, caption "kestrel".
#pragma once

#include <QMessageBox>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>

namespace kestrel {

inline constexpr const char* kMessageBoxCaption = "kestrel";

// Shows text modally over parent (which may be null) and returns when the user closes it.
// Safe to call from the GUI thread only.
void ShowMessageBox(QWidget* parent, const QString& text);

// The box ShowMessageBox runs: warning icon, the caption, one OK button without a theme icon.
std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* parent, const QString& text);

// Replaces what ShowMessageBox does (tests record the texts instead of blocking); an empty
// handler restores the real box. Returns the previous handler.
using MessageBoxHandler = std::function<void(QWidget* parent, const QString& text)>;
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

}  // namespace kestrel
