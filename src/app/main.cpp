// The application shell: one QApplication, the executable's directory for the settings file,
// and the main dialog run modally. The process ends when the dialog closes; nothing is saved
// then, because every setting was written when it was applied.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "device/settings_path.h"
#include "kestrel_version.h"
#include "ui/kestrel_dlg.h"

namespace kestrel {

class CkestrelApp : public QApplication {
  public:
    CkestrelApp(int& argc, char** argv) : QApplication(argc, argv) {
        // Ties the window to its menu entry and icon on desktops that match them by name.
        setDesktopFileName(QString::fromLatin1(KESTREL_APP_ID));
    }

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
    // Answered before the window system is touched, so it works without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("kestrel %s\n", KESTREL_VERSION);
            return 0;
        }
    }
    kestrel::CkestrelApp app(argc, argv);
    app.InitInstance();
    return 0;
}
