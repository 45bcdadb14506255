// SPDX-License-Identifier: MIT
#include "chineseui.h"
#include "form1.h"

#include <QApplication>
#include <QIcon>
#include <QImageReader>
#include <QPixmap>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qm47t-converter"));
    QApplication::setApplicationVersion(QStringLiteral(QM47T_VERSION));
    // Naming the format spares loading every image plugin to guess it: a few ms of every start.
    QImageReader icon(QStringLiteral(":/icons/qm47t-converter.png"), "png");
    icon.setAutoDetectImageFormat(false);
    QApplication::setWindowIcon(QIcon(QPixmap::fromImage(icon.read())));
    InstallChineseTranslations(app);

    Form1 form;
    if (!form.load())
        return 1;
    form.show();
    return QApplication::exec();
}
