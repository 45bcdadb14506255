// SPDX-License-Identifier: MIT
#include "chineseui.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

void InstallChineseTranslations(QCoreApplication &app)
{
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
    const QString directory = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    // Each catalogue by its file name: loading by locale would first try every other spelling of the
    // locale's name (zh_Hans_CN, zh-Hans, zh_hans_cn...), a dozen missing files per catalogue.
    for (const char *catalogue : {"qtbase_zh_CN", "qtserialport_zh_CN"}) {
        auto *translator = new QTranslator(&app);
        if (translator->load(QString::fromLatin1(catalogue), directory))
            QCoreApplication::installTranslator(translator);
        else
            delete translator;
    }
}
