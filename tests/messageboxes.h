// SPDX-License-Identifier: MIT
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <functional>

struct ShownBox
{
    QMessageBox::Icon icon;
    QString text;
    QString buttonText;
};

// Runs `action` and answers every message box it opens, the way a user clicks 确定.
inline QList<ShownBox> answerBoxes(const std::function<void()> &action)
{
    QList<ShownBox> shown;
    QTimer answerer;
    answerer.setInterval(10);
    QObject::connect(&answerer, &QTimer::timeout, &answerer, [&shown] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        QAbstractButton *ok = box->button(QMessageBox::Ok);
        shown.append({box->icon(), box->text(), ok ? ok->text() : QString()});
        box->done(QMessageBox::Ok);
    });
    answerer.start();
    action();
    QTest::qWait(30);
    return shown;
}
