// SPDX-License-Identifier: MIT
#pragma once

#include "formdesign.h"
#include "serialchannel.h"

#include <QWidget>

class QPlainTextEdit;

// The program's only window: the input box, the monitor box, four labels, the convert and exit
// buttons, and the channel to COM1, which lives exactly as long as the window.
class Form1 : public QWidget
{
    Q_OBJECT

public:
    // The port is COM1; only tests hand in another device.
    explicit Form1(const std::u16string &portName = SerialChannel::com1PortName(), QWidget *parent = nullptr);

    // Claims the port before the window is shown. False, after telling the user why, when it
    // cannot: the program is of no use without its port.
    bool load();

private:
    void createControls();
    void sendCommand();
    void exitProgram();
    // Every message the user sees goes through here.
    void report(const FormDesign::Message &message);

    SerialChannel m_channel;
    QPlainTextEdit *m_text1 = nullptr;
    QPlainTextEdit *m_text2 = nullptr;
};
