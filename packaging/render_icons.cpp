// kestrel-render-icons DIR NAME SIZE...: writes the application icon as
// DIR/SIZExSIZE/apps/NAME.png for each size, the hicolor theme's layout. The icon is painted
// on an image, so no window system is needed.
#include <QDir>
#include <QImage>
#include <cstdio>
#include <cstdlib>

#include "res/app_icon.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: kestrel-render-icons DIR NAME SIZE...\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    const QString name = QString::fromLocal8Bit(argv[2]);
    for (int i = 3; i < argc; ++i) {
        char* end = nullptr;
        const long size = std::strtol(argv[i], &end, 10);
        if (*end != '\0' || size < 1 || size > 1024) {
            std::fprintf(stderr, "kestrel-render-icons: bad size %s\n", argv[i]);
            return 2;
        }
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(dir).arg(size);
        const QString file = QStringLiteral("%1/%2.png").arg(folder, name);
        if (!QDir().mkpath(folder) || !kestrel::DrawAppIcon(static_cast<int>(size)).save(file)) {
            std::fprintf(stderr, "kestrel-render-icons: can't write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
