#include "res/dialog_item.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QVariant>

namespace kestrel {
namespace {

constexpr const char* kIdProperty = "kestrelDlgCtrlId";

}  // namespace

void SetDlgCtrlID(QWidget* control, int id) {
    control->setProperty(kIdProperty, id);
}

int GetDlgCtrlID(const QWidget* control) {
    return control ? control->property(kIdProperty).toInt() : 0;
}

QWidget* GetDlgItem(const QWidget* dialog, int id) {
    const auto children = dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (QWidget* child : children) {
        if (GetDlgCtrlID(child) == id) return child;
    }
    return nullptr;
}

QString ControlText(const QWidget* control) {
    const QWidget* item = control;
    if (auto* edit = qobject_cast<const QLineEdit*>(item)) return edit->text();
    if (auto* button = qobject_cast<const QAbstractButton*>(item)) return button->text();
    if (auto* label = qobject_cast<const QLabel*>(item)) return label->text();
    if (auto* group = qobject_cast<const QGroupBox*>(item)) return group->title();
    return {};
}

QString GetDlgItemText(const QWidget* dialog, int id) {
    return ControlText(GetDlgItem(dialog, id));
}

void SetDlgItemText(QWidget* dialog, int id, const QString& text) {
    QWidget* item = GetDlgItem(dialog, id);
    if (auto* edit = qobject_cast<QLineEdit*>(item)) {
        edit->setText(text);
    } else if (auto* button = qobject_cast<QAbstractButton*>(item)) {
        button->setText(text);
    } else if (auto* label = qobject_cast<QLabel*>(item)) {
        label->setText(text);
    } else if (auto* group = qobject_cast<QGroupBox*>(item)) {
        group->setTitle(text);
    }
}

void EnableDlgItem(QWidget* dialog, int id, bool enable) {
    if (QWidget* item = GetDlgItem(dialog, id)) item->setEnabled(enable);
}

}  // namespace kestrel
