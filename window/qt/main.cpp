// SPDX-License-Identifier: MIT
#include "chineseui.h"
#include "displayprobe.h"
#include "form1.h"
#include "sessionend.h"

#include "windowicon.h"

#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QPixmap>

#include <fontconfig/fontconfig.h>

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>

namespace {

// What Qt says while it connects to the display: shown once it has connected, so that a start
// without a display shows our one sentence and not Qt's English about plug-ins.
QStringList g_startupMessages;

// Qt ends a program it cannot find a display for with an abort and an English hint about
// reinstalling, which is wrong: say what is missing, in the user's language, and end with status 1.
// Where a display answers, the display is not what is missing: say that the window could not open,
// with Qt's reasons. Only Qt's own start-up is covered; any later fatal message stays Qt's.
void noDisplayHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtFatalMsg) {
        g_startupMessages.append(message);
        return;
    }
    if (!displayAnswers()) {
        std::fprintf(stderr, "%s\n", QString::fromUtf16(FormDesign::kNoDisplayMessage).toUtf8().constData());
        std::_Exit(1);
    }
    std::fprintf(stderr, "%s\n", QString::fromUtf16(FormDesign::kNoGuiMessage).toUtf8().constData());
    for (const QString &line : std::as_const(g_startupMessages))
        std::fprintf(stderr, "%s\n", line.toUtf8().constData());
    std::fprintf(stderr, "%s\n", message.toUtf8().constData());
    std::_Exit(1);
}

} // namespace

int main(int argc, char *argv[])
{
    // Qt's first font lookup begins with fontconfig parsing its configuration and font caches, a few
    // milliseconds of one core. Started here on a second thread, that runs while QApplication loads
    // its platform plug-in and connects to the display; Qt's own FcInit() then finds it done.
    std::thread fontconfig([] { FcInit(); });
    const QtMessageHandler previousHandler = qInstallMessageHandler(noDisplayHandler);
    QApplication app(argc, argv);
    qInstallMessageHandler(previousHandler);
    for (const QString &message : std::exchange(g_startupMessages, {}))
        std::fprintf(stderr, "%s\n", qPrintable(message));
    HeldKeyFilter heldKeys;
    app.installEventFilter(&heldKeys);
    QApplication::setApplicationName(QStringLiteral("qm47t-converter"));
    QApplication::setApplicationVersion(QStringLiteral(QM47T_VERSION));
    // The pixels as they are, without a decoder: any image reader, even one told the format, first
    // scans Qt's image-format plug-ins.
    const QImage icon(reinterpret_cast<const uchar *>(kWindowIconPixels), kWindowIconWidth, kWindowIconHeight,
                      QImage::Format_ARGB32);
    QApplication::setWindowIcon(QIcon(QPixmap::fromImage(icon)));
    installChineseTranslations(app);

    // Before the first caption is measured, so that Qt never starts a configuration of its own.
    fontconfig.join();

    Form1 form;
    QObject::connect(&form, &Form1::quitRequested, &app,
                     [](int exitCode) { QCoreApplication::exit(exitCode); });
    SessionEnd sessionEnd(form);
    if (!form.load())
        return 1;
    form.show();
    QApplication::exec();
    return form.exitCode();
}
