#include "ui/data_exchange.h"

#include <QLineEdit>
#include <climits>

#include "ui/message_box.h"

namespace kestrel {

std::optional<int> ParseDialogInt(std::string_view text) {
    text = text.substr(0, kDialogIntMaxChars);
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value <= INT_MAX) value = value * 10 + (text[i] - '0');
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

void DataExchange::Text(int id, int& value) {
    if (failed_) return;
    last_id_ = id;
    if (!pull_) {
        SetDlgItemText(dialog_, id, QString::number(value));
        return;
    }
    const auto parsed = ParseDialogInt(GetDlgItemText(dialog_, id).toStdString());
    if (!parsed) {
        Fail(QStringLiteral("Enter an integer."));
        return;
    }
    value = *parsed;
}

void DataExchange::Text(int id, QString& value) {
    if (failed_) return;
    last_id_ = id;
    if (pull_) {
        value = GetDlgItemText(dialog_, id);
    } else {
        SetDlgItemText(dialog_, id, value);
    }
}

void DataExchange::MinMaxInt(int value, int min, int max) {
    if (failed_ || !pull_) return;
    if (value < min || value > max) {
        Fail(QStringLiteral("Enter an integer between %1 and %2.").arg(min).arg(max));
    }
}

void DataExchange::Fail(const QString& message) {
    failed_ = true;
    ShowMessageBox(dialog_, message);
    QWidget* control = GetDlgItem(dialog_, last_id_);
    if (control == nullptr) return;
    control->setFocus(Qt::OtherFocusReason);
    if (auto* edit = qobject_cast<QLineEdit*>(control)) edit->selectAll();
}

}  // namespace kestrel
