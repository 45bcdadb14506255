// SPDX-License-Identifier: MIT
#pragma once

#include "formwindow.h"

#include <QWidget>

class QPlainTextEdit;
class QSocketNotifier;

// The program's only window: the input box, the monitor box, four labels, the convert and exit
// buttons. What the window does is FormController's; this is the Qt view of it.
class Form1 : public QWidget, public FormWindow
{
    Q_OBJECT

public:
    explicit Form1(std::u16string portName = SerialChannel::com1PortName(), QWidget *parent = nullptr);

    // What the program ends with: 0, or 1 when the port did not close cleanly.
    int exitCode() const { return m_exitCode; }
    // Ends as Exit does when the program is ended without it (a signal, the display gone), saying
    // what was lost on standard error; returns the exit code.
    int leave();

signals:
    // Exit has run: the program ends with `exitCode`. main connects this to the application's exit;
    // the window itself reaches no further than its own signal.
    void quitRequested(int exitCode);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls();

    std::u16string inputText() const override;
    void setMonitorText(const std::u16string &text) override;
    void announce(const std::u16string &text) override;
    void showMessage(const FormDesign::Message &message) override;
    void quit(int exitCode) override;
    void watchLine(bool pending) override;

    QPlainTextEdit *m_input = nullptr;      // Text1
    QPlainTextEdit *m_monitor = nullptr;    // Text2
    QWidget *m_announcement = nullptr;      // what a screen reader is told after a send
    QSocketNotifier *m_lineReady = nullptr; // the port can take bytes again
    int m_exitCode = 0;
    bool m_quitting = false; // Exit has run: the channel is closed
    bool m_closing = false;  // closed from the title bar
};

// One press of Space on a button is one click, however long it is held. Qt's buttons ignore key
// events marked as repeats, but X11 auto-repeat comes as a release and a press with the same
// timestamp, and when the press has not reached Qt yet as the release is read, Qt delivers the pair
// as an ordinary release (a click) and press. Installed on the application, so the message box's
// button is covered too.
class HeldKeyFilter : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    unsigned long m_lastSpaceRelease = 0;
};
