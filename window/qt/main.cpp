// SPDX-License-Identifier: MIT
#include "chineseui.h"
#include "form1.h"

#include "windowicon.h"

#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QPixmap>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qm47t-converter"));
    QApplication::setApplicationVersion(QStringLiteral(QM47T_VERSION));
    // The pixels as they are, without a decoder: any image reader, even one told the format, first
    // scans Qt's image-format plug-ins.
    const QImage icon(reinterpret_cast<const uchar *>(kWindowIconPixels), kWindowIconWidth, kWindowIconHeight,
                      QImage::Format_ARGB32);
    QApplication::setWindowIcon(QIcon(QPixmap::fromImage(icon)));
    InstallChineseTranslations(app);

    Form1 form;
    if (!form.load())
        return 1;
    form.show();
    return QApplication::exec();
}
