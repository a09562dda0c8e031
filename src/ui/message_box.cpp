#include "ui/message_box.h"

#include <QAbstractButton>
#include <QIcon>
#include <QMessageBox>

namespace kestrel {
namespace {

MessageBoxHandler& CurrentHandler() {
    static MessageBoxHandler handler;
    return handler;
}

}  // namespace

void ShowMessageBox(QWidget* parent, const QString& text) {
    if (const MessageBoxHandler& handler = CurrentHandler()) {
        handler(parent, text);
        return;
    }
    const std::unique_ptr<QMessageBox> box = MakeMessageBox(parent, text);
    box->exec();
}

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* parent, const QString& text) {
    auto box =
        std::make_unique<QMessageBox>(QMessageBox::Warning, QString::fromLatin1(kMessageBoxCaption),
                                      text, QMessageBox::Ok, parent);
    // Native boxes show a plain OK button; some desktop styles would add a theme icon to it.
    if (QAbstractButton* ok = box->button(QMessageBox::Ok)) ok->setIcon(QIcon());
    return box;
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
    MessageBoxHandler previous = std::move(CurrentHandler());
    CurrentHandler() = std::move(handler);
    return previous;
}

}  // namespace kestrel
