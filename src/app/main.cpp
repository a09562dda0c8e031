// The application shell: one QApplication, the executable's directory for the settings file,
// and the main dialog run modally. The process ends when the dialog closes; nothing is saved
// then, because every setting was written when it was applied.
#include <QApplication>

#include "ui/kestrel_dlg.h"
#include "ui/settings_path.h"

namespace kestrel {

class CkestrelApp : public QApplication {
  public:
    CkestrelApp(int& argc, char** argv) : QApplication(argc, argv) {}

    // Runs the whole program; false means no event loop of the application's own follows.
    bool InitInstance() {
        // Found beside the executable whatever the working directory.
        g_strExeDir = QCoreApplication::applicationDirPath().toStdString();
        CkestrelDlg dlg;
        dlg.exec();
        return false;
    }
};

}  // namespace kestrel

int main(int argc, char** argv) {
    kestrel::CkestrelApp app(argc, argv);
    app.InitInstance();
    return 0;
}
