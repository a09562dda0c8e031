#include "ui/message_box.h"

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
    QMessageBox box(QMessageBox::Warning, QString::fromLatin1(kMessageBoxCaption), text,
                    QMessageBox::Ok, parent);
    box.exec();
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
    MessageBoxHandler previous = std::move(CurrentHandler());
    CurrentHandler() = std::move(handler);
    return previous;
}

}  // namespace kestrel
