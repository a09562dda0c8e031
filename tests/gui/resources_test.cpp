#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <vector>

#include "res/app_icon.h"
#include "res/dialog_builder.h"
#include "res/dialog_item.h"
#include "res/resource_ids.h"
#include "res/string_table.h"
#include "ui/about_dlg.h"

namespace kestrel {
namespace {

bool IsKind(QWidget* widget, ControlKind kind) {
    switch (kind) {
        case ControlKind::DefPushButton:
        case ControlKind::PushButton: {
            auto* button = qobject_cast<QPushButton*>(widget);
            return button && button->isDefault() == (kind == ControlKind::DefPushButton);
        }
        case ControlKind::Label:
        case ControlKind::Icon:
            return qobject_cast<QLabel*>(widget) != nullptr;
        case ControlKind::Edit:
            return qobject_cast<QLineEdit*>(widget) != nullptr;
        case ControlKind::GroupBox:
            return qobject_cast<QGroupBox*>(widget) != nullptr;
        case ControlKind::CheckBox:
            return qobject_cast<QCheckBox*>(widget) != nullptr;
        case ControlKind::ProgressBar:
            return qobject_cast<QProgressBar*>(widget) != nullptr;
    }
    return false;
}

// Checks every control of the template against the dialog built from it, in template order.
void ExpectBuiltAsTemplate(QDialog& dialog, const DialogTemplate& tpl) {
    const DialogBaseUnits units = BaseUnitsOf(DialogFont(tpl));
    EXPECT_EQ(dialog.size(), MapDialogRect(units, 0, 0, tpl.cx, tpl.cy).size());
    const auto children = dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    ASSERT_EQ(children.size(), static_cast<qsizetype>(tpl.controls.size()));
    for (std::size_t i = 0; i < tpl.controls.size(); ++i) {
        const ControlTemplate& ctl = tpl.controls[i];
        QWidget* widget = children[static_cast<qsizetype>(i)];
        SCOPED_TRACE(testing::Message() << "control " << i << " id " << ctl.id);
        EXPECT_EQ(GetDlgCtrlID(widget), ctl.id);
        EXPECT_TRUE(IsKind(widget, ctl.kind));
        const QRect rect = MapDialogRect(units, ctl.x, ctl.y, ctl.cx, ctl.cy);
        EXPECT_EQ(widget->pos(), rect.topLeft());
        if (ctl.kind != ControlKind::Icon) {
            EXPECT_EQ(widget->size(), rect.size());
        }
        if (ctl.kind != ControlKind::Icon && ctl.kind != ControlKind::ProgressBar) {
            EXPECT_EQ(ControlText(widget).toStdString(), ctl.text);
        }
    }
}

std::vector<int> TabChainIds(QDialog& dialog) {
    std::vector<int> ids;
    QWidget* start = dialog.nextInFocusChain();
    for (QWidget* w = start; w != &dialog; w = w->nextInFocusChain()) {
        if (w->parentWidget() == &dialog && (w->focusPolicy() & Qt::TabFocus))
            ids.push_back(GetDlgCtrlID(w));
    }
    return ids;
}

TEST(DialogBuilderTest, DialogUnitsAreQuarterCharacterWidthsAndEighthCharacterHeights) {
    const DialogBaseUnits units{7, 14};
    EXPECT_EQ(MapDialogRect(units, 4, 8, 320, 225), QRect(7, 14, 560, 394));
    EXPECT_EQ(MapDialogRect(units, 1, 1, 2, 3), QRect(2, 2, 4, 5));
    const DialogBaseUnits font_units = BaseUnitsOf(DialogFont(MainDialogTemplate()));
    EXPECT_GT(font_units.cx, 3);
    EXPECT_GT(font_units.cy, font_units.cx);
}

TEST(DialogBuilderTest, MainDialogIsBuiltExactlyAsTemplate102) {
    QDialog dialog;
    BuildDialog(dialog, MainDialogTemplate());
    EXPECT_EQ(MainDialogTemplate().id, 102);
    EXPECT_EQ(dialog.windowTitle(), "kestrel");
    ExpectBuiltAsTemplate(dialog, MainDialogTemplate());
    EXPECT_EQ(TabChainIds(dialog), (std::vector<int>{1,    1000, 1001, 1002, 1003, 1004, 1005, 1006,
                                                     1007, 1008, 1009, 1010, 1011, 1012, 1013, 1014,
                                                     1015, 1017, 1019, 1020, 1021, 1022, 1023}));
}

// A left-button press and release at pos, in the widget's own coordinates.
void ClickAt(QWidget* widget, QPoint pos) {
    const QPointF local(pos);
    const QPointF global = widget->mapToGlobal(local);
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(widget, &release);
}

TEST(DialogBuilderTest, CheckBoxesToggleOnAClickAnywhereInTheirRectangle) {
    QDialog dialog;
    BuildDialog(dialog, MainDialogTemplate());
    dialog.show();
    for (int id : {IDC_CHECK_NEW_IP, IDC_CHECK_NEW_MAC, IDC_CHECK_TS_PORT, IDC_CHECK_MULTICAST}) {
        auto* box = qobject_cast<QCheckBox*>(GetDlgItem(&dialog, id));
        ASSERT_NE(box, nullptr);
        const QRect r = box->rect();
        // The corners, and on the two-line "New MAC (Hex):" the middle of each text line.
        for (const QPoint pos :
             {r.topLeft(), r.topRight(), r.bottomLeft(), r.bottomRight(),
              QPoint(r.center().x(), r.height() / 4), QPoint(r.center().x(), r.height() * 3 / 4)}) {
            SCOPED_TRACE(testing::Message() << "id " << id << " at " << pos.x() << "," << pos.y());
            const bool before = box->isChecked();
            ClickAt(box, pos);
            EXPECT_NE(box->isChecked(), before);
        }
    }
}

TEST(DialogBuilderTest, EditsKeepOnlyTheFirstLineOfPastedText) {
    QDialog dialog;
    BuildDialog(dialog, MainDialogTemplate());
    auto* edit = qobject_cast<QLineEdit*>(GetDlgItem(&dialog, IDC_EDIT_SERVER_IP));
    ASSERT_NE(edit, nullptr);
    edit->setText("10.0..1");
    edit->setCursorPosition(5);
    QApplication::clipboard()->setText("99\n[Multcast]\r\nIP=6.6.6.6");
    edit->paste();
    EXPECT_EQ(edit->text().toStdString(), "10.0.99.1");
    EXPECT_EQ(edit->cursorPosition(), 7);
    edit->selectAll();
    QApplication::clipboard()->setText("\r\n127.0.0.1");
    edit->paste();
    EXPECT_EQ(edit->text().toStdString(), "");
    QApplication::clipboard()->setText("127.0.0.1");
    edit->paste();
    EXPECT_EQ(edit->text().toStdString(), "127.0.0.1");
}

TEST(DialogBuilderTest, AboutBoxIsTemplate100WithIconTextAndOk) {
    CAboutDlg about;
    EXPECT_EQ(AboutDialogTemplate().id, 100);
    EXPECT_EQ(about.windowTitle(), "About kestrel");
    ExpectBuiltAsTemplate(about, AboutDialogTemplate());
    auto* icon = qobject_cast<QLabel*>(about.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)[0]);
    ASSERT_NE(icon, nullptr);
    EXPECT_FALSE(icon->pixmap().isNull());
    EXPECT_EQ(icon->size(), QSize(32, 32));
    about.show();
    qobject_cast<QPushButton*>(GetDlgItem(&about, IDOK))->click();
    EXPECT_EQ(about.result(), QDialog::Accepted);
    EXPECT_FALSE(about.isVisible());
}

TEST(DialogBuilderTest, BuildsTheKindsOfTheUpdateDialog) {
    const DialogTemplate tpl{131,
                             "Update",
                             200,
                             100,
                             "MS Shell Dlg",
                             8,
                             {{2000, ControlKind::PushButton, "Browse", 10, 10, 40, 14},
                              {2001, ControlKind::Edit, "", 60, 10, 100, 12},
                              {2002, ControlKind::Label, "status", 10, 30, 100, 8},
                              {2003, ControlKind::ProgressBar, "", 10, 50, 180, 10},
                              {IDOK, ControlKind::DefPushButton, "OK", 140, 80, 50, 14}}};
    QDialog dialog;
    BuildDialog(dialog, tpl);
    ExpectBuiltAsTemplate(dialog, tpl);
    auto* bar = qobject_cast<QProgressBar*>(GetDlgItem(&dialog, 2003));
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 100);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(TabChainIds(dialog), (std::vector<int>{2000, 2001, IDOK}));
    EXPECT_EQ(GetDlgItem(&dialog, 9999), nullptr);
}

TEST(ResourcesTest, StringTableAndIconHoldTheirEntries) {
    EXPECT_EQ(LoadResourceString(IDS_ABOUTBOX), "&About kestrel...");
    EXPECT_TRUE(LoadResourceString(4711).isEmpty());
    const QIcon icon = LoadAppIcon(IDR_MAINFRAME);
    ASSERT_FALSE(icon.isNull());
    EXPECT_EQ(icon.availableSizes(), (QList<QSize>{{16, 16}, {32, 32}, {48, 48}, {64, 64}}));
    // The bird is drawn: the icon's centre is covered by the silhouette, not the sky.
    const QImage image = icon.pixmap(64, 64).toImage();
    EXPECT_LT(QColor(image.pixel(32, 28)).red(), 0x90);
    EXPECT_GT(QColor(image.pixel(32, 4)).blue(), 0xC0);
    EXPECT_TRUE(LoadAppIcon(4711).isNull());
}

// The packaged icons are drawn at up to 256 pixels: the same picture at any size, transparent
// outside the rounded square.
TEST(ResourcesTest, AppIconIsDrawnAtAnySize) {
    for (int size : {16, 128, 256}) {
        const QImage image = DrawAppIcon(size);
        ASSERT_EQ(image.size(), QSize(size, size));
        EXPECT_TRUE(image.hasAlphaChannel());
        EXPECT_LT(qAlpha(image.pixel(0, 0)), 8) << size;  // at most an antialiasing trace
        const QColor bird = image.pixelColor(size / 2, size * 28 / 64);
        EXPECT_EQ(bird.alpha(), 255) << size;
        EXPECT_LT(bird.red(), 0x90) << size;
        EXPECT_GT(image.pixelColor(size / 2, size / 16).blue(), 0xC0) << size;
    }
    EXPECT_TRUE(DrawAppIcon(0).isNull());
    EXPECT_TRUE(DrawAppIcon(-5).isNull());
}

}  // namespace
}  // namespace kestrel
