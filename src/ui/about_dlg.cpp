#include "ui/about_dlg.h"

#include <QAbstractButton>

#include "res/app_icon.h"
#include "res/dialog_builder.h"
#include "res/dialog_item.h"
#include "res/resource_ids.h"

namespace kestrel {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    BuildDialog(*this, AboutDialogTemplate());
    setWindowIcon(LoadAppIcon(IDR_MAINFRAME));
    auto* ok = qobject_cast<QAbstractButton*>(GetDlgItem(this, IDOK));
    connect(ok, &QAbstractButton::clicked, this, &QDialog::accept);
}

}  // namespace kestrel
