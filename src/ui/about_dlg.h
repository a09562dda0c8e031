// The About box (template 100): icon 128, "kestrel, Version 1.0" and OK.
#pragma once

#include <QDialog>

namespace kestrel {

class CAboutDlg : public QDialog {
    Q_OBJECT

  public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace kestrel
