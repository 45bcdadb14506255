// SPDX-License-Identifier: MIT
//
// The floor for bench/startup.py: the least a Qt Widgets program can do and still be comparable to
// qm47t-converter. A Chinese caption and label (so the CJK font is looked up), one multi-line text
// box, one button, the window at the converter's size (so the backing store costs the same), and
// COM1 opened at 9600 8N1 before the window is shown, through the converter's own SerialChannel, so
// that the port costs both programs the same (Qt Serial Port would load a library the converter no
// longer does). Nothing else: no translations, no icon, no second box. Like the converter it opens
// /dev/ttyS0 itself: startup.py only ever starts it in a private mount namespace with a
// pseudo-terminal bound there.

#include "serialchannel.h"

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);

    SerialChannel port(u"/dev/ttyS0");
    if (const SerialChannel::Failure failure = port.open()) {
        // The converter's words for it are not the floor's to carry: the reason and the system's code.
        std::fprintf(stderr, "bench_floor: /dev/ttyS0: failure %d, system error %lld\n",
                     static_cast<int>(failure->reason), failure->code);
        return 1;
    }

    QWidget window;
    window.setWindowTitle(QStringLiteral("汉字转换 基准窗口"));
    auto *layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel(QStringLiteral("输入汉字：")));
    layout->addWidget(new QPlainTextEdit);
    layout->addWidget(new QPushButton(QStringLiteral("转换")));
    window.resize(540, 329);
    window.show();
    return QApplication::exec();
}
