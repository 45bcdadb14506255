// SPDX-License-Identifier: MIT
// What the window does, for both programs: the send, its monitor text and its messages, the port
// claimed at load and released on leaving. A stand-in view and channel record what reaches them.
#include "formcontroller.h"

#include "qtbridge.h"

#include <QTest>

#include <deque>
#include <optional>
#include <vector>

namespace {

using Reason = PortFailure::Reason;
using Failure = std::optional<PortFailure>;

struct FakeChannel
{
    explicit FakeChannel(std::u16string name) : portName_(std::move(name)) {}

    Failure open() { return openFailure; }
    Failure output(const UnicodeFrame &frame)
    {
        if (onOutput)
            onOutput();
        written.append(toQt(frame));
        if (outputFailures.empty())
            return std::nullopt;
        Failure failure = outputFailures.front();
        outputFailures.pop_front();
        return failure;
    }
    Failure close()
    {
        ++closes;
        return closeFailure;
    }
    const std::u16string &portName() const { return portName_; }
    bool hasPending() const { return false; }

    std::u16string portName_;
    Failure openFailure, closeFailure;
    std::deque<Failure> outputFailures; // one per output, then success
    std::function<void()> onOutput;     // what else happens while the frame is written
    QList<QByteArray> written;
    int closes = 0;
};

struct FakeView : FormView
{
    std::u16string inputText() const override { return input; }
    void setMonitorText(const std::u16string &text) override { monitor = toQt(text); }
    void announce(const std::u16string &text) override { announcements.append(toQt(text)); }
    void showMessage(const FormDesign::Message &message) override
    {
        messages.append(toQt(message.text));
        severities.push_back(message.severity);
        if (whileShown)
            whileShown();
    }
    void quit(int code) override { exitCodes.push_back(code); }
    void watchLine(bool) override {}

    std::u16string input;
    QString monitor = QStringLiteral("typed by the user");
    QStringList messages;
    QStringList announcements;
    std::vector<FormDesign::Severity> severities;
    std::vector<int> exitCodes;
    std::function<void()> whileShown; // events the toolkit runs while a message is up
};

// The words for a port's failure, as the golden table below has them: the tests of the messages
// around them need not spell them again.
QString words(const PortFailure &failure)
{
    return toQt(FormDesign::portReason(failure));
}

const PortFailure kStalled{Reason::Stalled};
const PortFailure kCablePulled{Reason::System, 5, u"cable pulled"};

struct Window
{
    FakeView view;
    FormController<FakeChannel> controller{view, u"/dev/ttyS0"};
    FakeChannel &channel() { return const_cast<FakeChannel &>(controller.channel()); }
};

} // namespace

Q_DECLARE_METATYPE(PortFailure)

class tst_FormController : public QObject
{
    Q_OBJECT

private slots:
    void sends_data();
    void sends();
    void refuses_data();
    void refuses();
    void portReasons_data();
    void portReasons();
    void outputFailure_data();
    void outputFailure();
    void clicksWhileAMessageIsUpAreDropped();
    void load_data();
    void load();
    void leaving_data();
    void leaving();
};

void tst_FormController::sends_data()
{
    QTest::addColumn<QString>("rawInput");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("dump");

    QTest::newRow("A") << QStringLiteral("A") << QByteArray::fromHex("0041") << QStringLiteral("00 41 ");
    QTest::newRow("hanzi") << QStringLiteral("汉字") << QByteArray::fromHex("6C495B57")
                           << QStringLiteral("6C 49 5B 57 ");
    QTest::newRow("typed line break") << QStringLiteral("1\r\n") << QByteArray::fromHex("0031000D000A")
                                      << QStringLiteral("00 31 00 0D 00 0A ");
    // What a Windows box holds after a paste goes out as it is there.
    QTest::newRow("lone CR, lone LF, U+2028, U+2029 as the box holds them")
        << QStringLiteral("a\rb\nc\u2028d\u2029") << QByteArray::fromHex("0061000D0062000A0063202800642029")
        << QStringLiteral("00 61 00 0D 00 62 00 0A 00 63 20 28 00 64 20 29 ");
    QTest::newRow("127 with a lone LF counted once")
        << QString(126, u'a') + u'\n' << QByteArray::fromHex(QByteArray("0061").repeated(126) + "000A")
        << QStringLiteral("00 61 ").repeated(126) + QStringLiteral("00 0A ");
}

void tst_FormController::sends()
{
    QFETCH(QString, rawInput);
    QFETCH(QByteArray, frame);
    QFETCH(QString, dump);

    Window window;
    window.view.input = toStd(rawInput);
    window.controller.convert();

    QCOMPARE(window.channel().written, QList<QByteArray>{frame});
    QCOMPARE(window.view.monitor, QStringLiteral("\r\n") + dump + QStringLiteral("\r\n"));
    QVERIFY(window.view.messages.isEmpty());
    QCOMPARE(window.view.announcements, QStringList{QStringLiteral("已发送 %1 字节").arg(frame.size())});
    QCOMPARE(window.view.input, toStd(rawInput)); // the input box is never touched
}

void tst_FormController::refuses_data()
{
    QTest::addColumn<QString>("rawInput");
    QTest::addColumn<QString>("message");

    const auto tooLong = [](int count) {
        return QStringLiteral(
                   "输入内容过长，未发送：最多 127 个字符，现有 %1 个（换行和表情符号等少数字符各算 2 个）。"
                   "请删减后再发送。")
            .arg(count);
    };
    QTest::newRow("empty") << QString() << QStringLiteral("请先输入需要转换的字母、数字或汉字。");
    QTest::newRow("128") << QString(128, u'汉') << tooLong(128);
    QTest::newRow("126 + CR LF = 128") << QString(126, u'a') + QStringLiteral("\r\n") << tooLong(128);
    QTest::newRow("64 emoji = 128") << QString::fromUcs4(U"\U0001F600").repeated(64) << tooLong(128);
    QTest::newRow("300") << QString(300, u'a') << tooLong(300);
}

void tst_FormController::refuses()
{
    QFETCH(QString, rawInput);
    QFETCH(QString, message);

    Window window;
    window.view.input = toStd(rawInput);
    window.controller.convert();

    QVERIFY(window.channel().written.isEmpty());
    QCOMPARE(window.view.monitor, QString()); // cleared by every click
    QCOMPARE(window.view.messages, QStringList{message});
    QCOMPARE(window.view.severities, std::vector{FormDesign::Severity::Warning});
    QVERIFY(window.view.announcements.isEmpty());
}

// Every word the user reads about the port, exactly: the one place they are spelt out. Only where
// the help is differs between the programs (the package's manual page and udev rule, or Device Manager).
void tst_FormController::portReasons_data()
{
    QTest::addColumn<PortFailure>("failure");
    QTest::addColumn<bool>("windows");
    QTest::addColumn<QString>("words");

    const auto row = [](const char *name, PortFailure failure, bool windows, const QString &words) {
        QTest::newRow(name) << failure << windows << words;
    };
    const auto held = PortFailure::heldBy;
    row("no device", {Reason::NoDevice}, false,
        QStringLiteral("找不到该设备。检查模块是否接好；模块接在 USB 转串口线上时，要用 udev 规则把它设为 "
                       "/dev/COM1：见 man qm47t-converter 和示例规则 "
                       "/usr/share/doc/qm47t-converter/examples/99-qm47t-com1.rules。"));
    row("no device, Windows", {Reason::NoDevice}, true,
        QStringLiteral("找不到该设备。检查模块是否接好；模块接在 USB 转串口线上时，要在设备管理器中把它设为 "
                       "COM1：展开“端口 (COM 和 LPT)”，打开该串口线的属性，在“端口设置”中点“高级”，"
                       "把“COM 端口号”选为 COM1。"));
    row("no chip behind ttyS0", {Reason::NoHardware}, false,
        QStringLiteral("这台电脑的 COM1 没有串口硬件；使用 USB 转串口线。"));
    row("not a serial port", {Reason::NotSerial}, false,
        QStringLiteral("该设备不是串口。检查 udev 规则中 COM1 指向的设备是否是 USB 转串口线（/dev/ttyUSB0 或 "
                       "/dev/ttyACM0），以及模块的线缆是否接在这个串口上。"));
    row("not a serial port, Windows", {Reason::NotSerial}, true,
        QStringLiteral("该设备不是串口。在设备管理器的“端口 (COM 和 LPT)”中检查 COM1 "
                       "是否是模块所接的串口，以及模块的线缆是否接好。"));
    // A step for whoever administers the machine: its user may have no sudo.
    row("no permission", {Reason::NoPermission}, false,
        QStringLiteral(
            "没有使用该串口的权限：需要加入 dialout 组。请管理员以 root 身份执行 adduser 你的用户名 "
            "dialout，然后重新登录。"));
    row("held", {Reason::Held}, true,
        QStringLiteral("串口正被另一个程序占用。请先关闭该程序，再启动本程序。"));
    row("held, named by its lock file", held(4242, u"minicom", u"/run/lock/LCK..ttyS0"), false,
        QStringLiteral("串口正被另一个程序占用：进程 4242（minicom）。请先关闭该程序，再启动本程序。"
                       "如果该程序已经不在运行，删除锁文件 /run/lock/LCK..ttyS0 后再试。"));
    row("held, its name unknown", held(4242, {}, u"/run/lock/LCK..ttyS0"), false,
        QStringLiteral("串口正被另一个程序占用：进程 4242。请先关闭该程序，再启动本程序。"
                       "如果该程序已经不在运行，删除锁文件 /run/lock/LCK..ttyS0 后再试。"));
    row("held, a lock naming nobody", held(0, {}, u"/run/lock/LCK..ttyS0"), false,
        QStringLiteral("串口正被另一个程序占用。请先关闭该程序，再启动本程序。"
                       "如果该程序已经不在运行，删除锁文件 /run/lock/LCK..ttyS0 后再试。"));
    row("disconnected", {Reason::Disconnected}, true,
        QStringLiteral("串口设备已断开，可能是 USB 转串口线被拔出。请接好模块的线缆或 USB 转串口线，"
                       "然后重新启动本程序：程序不会自动重新打开串口。"));
    row("stalled", kStalled, false,
        QStringLiteral("线路阻塞：串口已有一段时间没有送出任何数据，这次的内容没有发送。"
                       "之前已发送的内容仍在排队，线路恢复后会完整送出。"));
    row("frames lost at close", PortFailure::framesLost(1), false,
        QStringLiteral("线路阻塞：关闭串口时还有 1 帧数据没有完整送出，已被丢弃。"));
    row("bytes lost in the hardware at close", {Reason::DiscardedAtClose}, true,
        QStringLiteral("线路阻塞：关闭串口时队列中还有没有送出的数据，已被丢弃。"));
    row("not open", {Reason::NotOpen}, false, QStringLiteral("串口未打开"));
    row("any other: the system's text", {Reason::System, 87, u"The parameter is incorrect."}, true,
        QStringLiteral("操作系统报告错误 87：The parameter is incorrect."));
    row("any other, without a text", {Reason::System, 27}, false, QStringLiteral("操作系统报告错误 27。"));
}

void tst_FormController::portReasons()
{
    QFETCH(PortFailure, failure);
    QFETCH(bool, windows);
    QFETCH(QString, words);

    const auto platform = windows ? FormDesign::Platform::Windows : FormDesign::Platform::Linux;
    QCOMPARE(toQt(FormDesign::portReason(failure, platform)), words);
}

void tst_FormController::outputFailure_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("message");

    QTest::newRow("Linux device named")
        << QStringLiteral("/dev/ttyUSB0")
        << QStringLiteral("串口 COM1（/dev/ttyUSB0）写入失败：") + words(kCablePulled);
    QTest::newRow("Windows COM1 alone")
        << QStringLiteral("COM1") << QStringLiteral("串口 COM1 写入失败：") + words(kCablePulled);
}

void tst_FormController::outputFailure()
{
    QFETCH(QString, port);
    QFETCH(QString, message);

    FakeView view;
    FormController<FakeChannel> controller(view, toStd(port));
    auto &channel = const_cast<FakeChannel &>(controller.channel());
    channel.outputFailures = {kCablePulled};
    view.input = u"汉字";
    controller.convert();

    QCOMPARE(channel.written.size(), 1);
    QCOMPARE(view.monitor, QString());
    QCOMPARE(view.messages, QStringList{message});
    QCOMPARE(view.severities, std::vector{FormDesign::Severity::Critical});
    QVERIFY(view.announcements.isEmpty());

    // The next click goes out, shows its dump and says so.
    controller.convert();
    QCOMPARE(channel.written.size(), 2);
    QCOMPARE(view.monitor, QStringLiteral("\r\n6C 49 5B 57 \r\n"));
    QCOMPARE(view.messages.size(), 1);
    QCOMPARE(view.announcements, QStringList{QStringLiteral("已发送 4 字节")});
}

// Clicks that queued up behind a stalled send reach the window while its message is up (Windows
// delivers them in the message box's own loop): none of them sends, or opens a box of its own.
void tst_FormController::clicksWhileAMessageIsUpAreDropped()
{
    Window window;
    window.view.input = u"a";
    window.channel().outputFailures = {kStalled};
    window.view.whileShown = [&window] {
        for (int click = 0; click < 5; ++click)
            window.controller.convert();
        window.controller.exit();
    };
    window.controller.convert();

    QCOMPARE(window.channel().written.size(), 1);
    QCOMPARE(window.view.messages.size(), 1);
    QCOMPARE(window.channel().closes, 0);
    QVERIFY(window.view.exitCodes.empty());

    window.view.whileShown = nullptr;
    window.controller.convert(); // once the message is answered, clicks count again
    QCOMPARE(window.channel().written.size(), 2);
}

void tst_FormController::load_data()
{
    QTest::addColumn<bool>("loaded");
    QTest::addColumn<QString>("message");

    QTest::newRow("opens") << true << QString();
    QTest::newRow("missing") << false
                             << QStringLiteral("无法打开串口 COM1（/dev/ttyS0）：") +
                                    words(PortFailure{Reason::NoDevice});
}

void tst_FormController::load()
{
    QFETCH(bool, loaded);
    QFETCH(QString, message);

    Window window;
    if (!loaded)
        window.channel().openFailure = PortFailure{Reason::NoDevice};
    QCOMPARE(window.controller.load(), loaded);
    QCOMPARE(window.view.messages, message.isEmpty() ? QStringList{} : QStringList{message});
}

// Every way out drains the port and says what it lost. `way`: Exit, a close request (the title bar,
// or taskkill on Windows), the session ending; `during` a message that the convert button brought up.
void tst_FormController::leaving_data()
{
    QTest::addColumn<QString>("way");
    QTest::addColumn<bool>("during");
    QTest::addColumn<bool>("lost");         // frames, at the close
    QTest::addColumn<int>("closesWhileUp"); // port closes before the message was answered
    QTest::addColumn<int>("exitCode");

    const bool lost = true;
    QTest::newRow("Exit") << "exit" << false << false << 0 << 0;
    QTest::newRow("Exit, frames lost") << "exit" << false << lost << 0 << 1;
    QTest::newRow("close request") << "close" << false << false << 0 << 0;
    QTest::newRow("session end, frames lost") << "session" << false << lost << 0 << 1;
    QTest::newRow("close request during a message: once answered") << "close" << true << lost << 0 << 1;
    QTest::newRow("session end during a message: at once") << "session" << true << lost << 1 << 1;
}

void tst_FormController::leaving()
{
    QFETCH(QString, way);
    QFETCH(bool, during);
    QFETCH(bool, lost);
    QFETCH(int, closesWhileUp);
    QFETCH(int, exitCode);

    const PortFailure twoFramesLost = PortFailure::framesLost(2);
    Window window;
    if (lost)
        window.channel().closeFailure = twoFramesLost;
    const auto leave = [&window, way] {
        if (way == QLatin1String("exit"))
            window.controller.exit();
        else if (way == QLatin1String("close"))
            window.controller.closeRequested();
        else
            window.controller.endSession();
    };
    QStringList messages;
    if (during) {
        int closes = -1;
        window.view.input = u"a";
        window.channel().outputFailures = {kStalled};
        window.view.whileShown = [&] {
            if (closes >= 0)
                return; // the message about what Exit lost
            closes = 0;
            leave();
            closes = window.channel().closes;
        };
        window.controller.convert();
        QCOMPARE(closes, closesWhileUp);
        messages << QStringLiteral("串口 COM1（/dev/ttyS0）写入失败：") + words(kStalled);
    } else {
        leave();
    }

    QCOMPARE(window.channel().closes, 1);
    QCOMPARE(window.view.exitCodes, std::vector{exitCode});
    if (lost)
        messages << QStringLiteral("关闭串口 COM1（/dev/ttyS0）失败：") + words(twoFramesLost);
    QCOMPARE(window.view.messages, messages);
}

QTEST_APPLESS_MAIN(tst_FormController)
#include "tst_formcontroller.moc"
