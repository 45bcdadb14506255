// SPDX-License-Identifier: MIT
#pragma once

// The Qt window on a pseudo-terminal, as a user meets it: Form1 holding the pty's slave side as its
// COM1, its controls found by name, and clicks that answer every message box they bring up.

#include "form1.h"
#include "ptypair.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

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

struct FormOnPty
{
    PtyPair pty;
    // Reset it to end the window, as the end of the program does; the pty stays to be read.
    std::unique_ptr<Form1> form = std::make_unique<Form1>(pty.slavePath());

    // The port claimed and the window shown, as main does it.
    bool start()
    {
        if (!pty.isValid() || !form->load())
            return false;
        form->show();
        return QTest::qWaitForWindowActive(form.get());
    }
    QPlainTextEdit *text(const char *name) const
    {
        return form->findChild<QPlainTextEdit *>(QString::fromLatin1(name));
    }
    QPushButton *button(const char *name) const
    {
        return form->findChild<QPushButton *>(QString::fromLatin1(name));
    }
    // A click on the button `name`, and the message boxes it brought up, answered.
    QList<ShownBox> click(const char *name)
    {
        return answerBoxes([this, name] { QTest::mouseClick(button(name), Qt::LeftButton); });
    }
};
