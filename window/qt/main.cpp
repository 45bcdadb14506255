// SPDX-License-Identifier: MIT
#include "chineseui.h"
#include "form1.h"

#include "windowicon.h"

#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QPixmap>

#include <fontconfig/fontconfig.h>

#include <thread>

int main(int argc, char *argv[])
{
    // Qt's first font lookup begins with fontconfig parsing its configuration and font caches, a few
    // milliseconds of one core. Started here on a second thread, that runs while QApplication loads
    // its platform plug-in and connects to the display; Qt's own FcInit() then finds it done.
    std::thread fontconfig([] { FcInit(); });
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qm47t-converter"));
    QApplication::setApplicationVersion(QStringLiteral(QM47T_VERSION));
    // The pixels as they are, without a decoder: any image reader, even one told the format, first
    // scans Qt's image-format plug-ins.
    const QImage icon(reinterpret_cast<const uchar *>(kWindowIconPixels), kWindowIconWidth, kWindowIconHeight,
                      QImage::Format_ARGB32);
    QApplication::setWindowIcon(QIcon(QPixmap::fromImage(icon)));
    InstallChineseTranslations(app);

    // Before the first caption is measured, so that Qt never starts a configuration of its own.
    fontconfig.join();

    Form1 form;
    if (!form.load())
        return 1;
    form.show();
    return QApplication::exec();
}
