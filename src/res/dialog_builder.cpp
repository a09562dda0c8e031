#include "res/dialog_builder.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QStylePainter>

#include <algorithm>
#include <cmath>
#include <vector>

#include "res/app_icon.h"
#include "res/dialog_item.h"

namespace kestrel {
namespace {

constexpr int kIconSize = 32;

// A check box that answers a click anywhere in its rectangle, as the template sizes it, and
// whose text may wrap at its width instead of being cut off (text() stays unchanged). The
// style's own click area covers only the indicator and one line of text.
class DialogCheckBox : public QCheckBox {
  public:
    DialogCheckBox(const QString& text, QWidget* parent, bool multiline)
        : QCheckBox(text, parent), multiline_(multiline) {}

  protected:
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }

    void paintEvent(QPaintEvent* event) override {
        if (!multiline_) {
            QCheckBox::paintEvent(event);
            return;
        }
        QStylePainter painter(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        const int indicator = style()->pixelMetric(QStyle::PM_IndicatorWidth, &option, this) +
                              style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, &option, this);
        option.text = Wrapped(option.text, width() - indicator);
        painter.drawControl(QStyle::CE_CheckBox, option);
    }

  private:
    QString Wrapped(const QString& text, int width) const {
        const QFontMetrics metrics(font());
        QString out;
        QString line;
        for (const QString& word : text.split(' ', Qt::SkipEmptyParts)) {
            const QString candidate = line.isEmpty() ? word : line + ' ' + word;
            if (!line.isEmpty() && metrics.horizontalAdvance(candidate) > width) {
                out += line + '\n';
                line = word;
            } else {
                line = candidate;
            }
        }
        return out + line;
    }

    bool multiline_;
};

// A single-line edit keeps only the first line of text pasted or dropped into it: the inserted
// text ends at the cursor, and what it brought from its first line break on is dropped. A line
// break would otherwise travel on into addresses and the settings file.
QLineEdit* CreateEdit(const QString& text, QDialog& dialog) {
    auto* edit = new QLineEdit(text, &dialog);
    QObject::connect(edit, &QLineEdit::textEdited, edit, [edit](const QString& edited) {
        const auto is_break = [](QChar c) {
            return c == QLatin1Char('\n') || c == QLatin1Char('\r');
        };
        const auto found = std::find_if(edited.begin(), edited.end(), is_break);
        if (found == edited.end()) return;
        const qsizetype cut = found - edited.begin();
        const qsizetype resume = std::max<qsizetype>(edit->cursorPosition(), cut);
        edit->setText(edited.left(cut) + edited.mid(resume));
        edit->setCursorPosition(static_cast<int>(cut));
    });
    return edit;
}

QWidget* CreateControl(const ControlTemplate& ctl, QDialog& dialog) {
    const QString text = QString::fromStdString(ctl.text);
    switch (ctl.kind) {
        case ControlKind::DefPushButton:
        case ControlKind::PushButton: {
            auto* button = new QPushButton(text, &dialog);
            button->setAutoDefault(true);
            button->setDefault(ctl.kind == ControlKind::DefPushButton);
            return button;
        }
        case ControlKind::Label: {
            auto* label = new QLabel(text, &dialog);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            label->setWordWrap(true);
            return label;
        }
        case ControlKind::Edit:
            return CreateEdit(text, dialog);
        case ControlKind::GroupBox:
            return new QGroupBox(text, &dialog);
        case ControlKind::CheckBox:
            return new DialogCheckBox(text, &dialog, ctl.multiline);
        case ControlKind::Icon: {
            auto* label = new QLabel(&dialog);
            label->setPixmap(LoadAppIcon(ctl.resource).pixmap(kIconSize, kIconSize));
            return label;
        }
        case ControlKind::ProgressBar: {
            auto* bar = new QProgressBar(&dialog);
            bar->setRange(0, 100);
            bar->setValue(0);
            bar->setTextVisible(false);
            return bar;
        }
    }
    return nullptr;
}

bool TakesFocus(ControlKind kind) {
    return kind == ControlKind::DefPushButton || kind == ControlKind::PushButton ||
           kind == ControlKind::Edit || kind == ControlKind::CheckBox;
}

}  // namespace

QFont DialogFont(const DialogTemplate& tpl) {
    static const bool substituted = [] {
        QFont::insertSubstitutions(QStringLiteral("MS Shell Dlg"),
                                   {QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"),
                                    QStringLiteral("Arimo"), QStringLiteral("DejaVu Sans")});
        return true;
    }();
    (void)substituted;
    QFont font(QString::fromStdString(tpl.font_face));
    font.setPointSize(tpl.point_size);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

DialogBaseUnits BaseUnitsOf(const QFont& font) {
    const QFontMetrics metrics(font);
    const int alphabet = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(alphabet / 26 + 1) / 2, metrics.height()};
}

QRect MapDialogRect(const DialogBaseUnits& units, int x, int y, int cx, int cy) {
    const auto h = [&](int v) { return static_cast<int>(std::lround(v * units.cx / 4.0)); };
    const auto v = [&](int n) { return static_cast<int>(std::lround(n * units.cy / 8.0)); };
    return {h(x), v(y), h(cx), v(cy)};
}

void BuildDialog(QDialog& dialog, const DialogTemplate& tpl) {
    const QFont font = DialogFont(tpl);
    const DialogBaseUnits units = BaseUnitsOf(font);
    dialog.setFont(font);
    dialog.setWindowTitle(QString::fromStdString(tpl.caption));
    dialog.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    dialog.setFixedSize(MapDialogRect(units, 0, 0, tpl.cx, tpl.cy).size());

    std::vector<QWidget*> tab_chain;
    for (const ControlTemplate& ctl : tpl.controls) {
        QWidget* widget = CreateControl(ctl, dialog);
        SetDlgCtrlID(widget, ctl.id);
        QRect rect = MapDialogRect(units, ctl.x, ctl.y, ctl.cx, ctl.cy);
        if (ctl.kind == ControlKind::Icon) rect.setSize({kIconSize, kIconSize});
        widget->setGeometry(rect);
        if (TakesFocus(ctl.kind)) {
            widget->setFocusPolicy(Qt::StrongFocus);
            tab_chain.push_back(widget);
        } else {
            widget->setFocusPolicy(Qt::NoFocus);
        }
    }
    for (std::size_t i = 1; i < tab_chain.size(); ++i) {
        QWidget::setTabOrder(tab_chain[i - 1], tab_chain[i]);
    }
}

}  // namespace kestrel
