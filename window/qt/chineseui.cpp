// SPDX-License-Identifier: MIT
#include "chineseui.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

void installChineseTranslations(QCoreApplication &app)
{
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
    // The catalogue by its file name: loading it by locale would first try every other spelling of
    // the locale's name (zh_Hans_CN, zh-Hans, zh_hans_cn...), a dozen missing files.
    auto *translator = new QTranslator(&app);
    if (translator->load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(translator);
    else
        delete translator;
}
