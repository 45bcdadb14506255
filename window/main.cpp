// SPDX-License-Identifier: MIT
#include "chineseui.h"
#include "form1.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qm47t-converter"));
    QApplication::setApplicationVersion(QStringLiteral(QM47T_VERSION));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/qm47t-converter.png")));
    InstallChineseTranslations(app);

    Form1 form;
    if (!form.load())
        return 1;
    form.show();
    return QApplication::exec();
}
