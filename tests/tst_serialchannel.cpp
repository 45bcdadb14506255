// SPDX-License-Identifier: MIT
#include "serialchannel.h"

#include "portreasons.h"
#include "ptypair.h"
#include "qtbridge.h"
#include "serialline.h"
#include "serialport.h"
#include "utf8.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QElapsedTimer>
#include <QTest>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

namespace {

const QString kNoDevice =
    QStringLiteral("找不到该设备。检查模块是否接好，或按 README 为 USB 转串口线设置 COM1。");
const QString kNoHardware = QStringLiteral("这台电脑的 COM1 没有串口硬件；使用 USB 转串口线。");
const QString kNotSerial = QStringLiteral(
    "该设备不是串口。检查 udev 规则中 COM1 指向的设备是否是 USB 转串口线（/dev/ttyUSB0 或 /dev/ttyACM0），"
    "以及模块的线缆是否接在这个串口上。");
const QString kNotSerialWindows =
    QStringLiteral("该设备不是串口。在设备管理器的“端口 (COM 和 LPT)”中检查 COM1 "
                   "是否是模块所接的串口，以及模块的线缆是否接好。");
const QString kNoPermission =
    QStringLiteral("没有使用该串口的权限。执行 sudo adduser $USER dialout，然后重新登录。");
const QString kHeld = QStringLiteral("串口正被另一个程序占用。请先关闭该程序，再启动本程序。");
const QString kGone =
    QStringLiteral("串口设备已断开，可能是 USB 转串口线被拔出。请接好模块的线缆或 USB 转串口线，"
                   "然后重新启动本程序：程序不会自动重新打开串口。");
const QString kStalled = QStringLiteral("线路阻塞：串口已有一段时间没有送出任何数据，这次的内容没有发送。"
                                        "之前已发送的内容仍在排队，线路恢复后会完整送出。");

// A frame as the send makes it, 127 units of one character, told apart from its neighbours by `n`.
QByteArray numberedFrame(int n)
{
    const char16_t unit = char16_t(0x4E00 + n);
    return QByteArray(1, char(unit >> 8)).append(char(unit & 0xFF)).repeated(127);
}

// Where serial programs keep their lock files, and the one for `device`: LCK.. and its path below
// /dev, slashes as underscores, as Qt names them.
QString lockFilePath(const QString &device)
{
    const QString directory = QFileInfo(QStringLiteral("/run/lock")).isDir() ? QStringLiteral("/run/lock")
                                                                             : QStringLiteral("/var/lock");
    return directory + QStringLiteral("/LCK..") + device.mid(5).replace(u'/', u'_');
}

QString ownComm()
{
    QFile comm(QStringLiteral("/proc/self/comm"));
    return comm.open(QIODevice::ReadOnly) ? QString::fromUtf8(comm.readLine()).trimmed() : QString();
}

QString heldBy(const QString &lockPath)
{
    return QStringLiteral("串口正被另一个程序占用：进程 %1（%2）。请先关闭该程序，再启动本程序。"
                          "如果该程序已经不在运行，删除锁文件 %3 后再试。")
        .arg(QCoreApplication::applicationPid())
        .arg(ownComm(), lockPath);
}

} // namespace

// A driver whose queue the channel can see, as a UART's TIOCOUTQ or Windows' cbOutQue shows it (a
// pty's cannot): it takes every write whole into its queue, which leaves for the line at
// `bytesPerSecond`, or not at all at 0.
class VisibleQueuePort final : public SerialChannel::Port
{
public:
    explicit VisibleQueuePort(int bytesPerSecond) : Port(u"visible queue"), m_rate(bytesPerSecond) {}

    QByteArray line; // what has left for the line
    qsizetype mostQueued = 0;

private:
    Failure openDevice() override
    {
        m_clock.start();
        m_open = true;
        return std::nullopt;
    }
    bool isDeviceOpen() const override { return m_open; }
    Failure submit(const std::vector<std::uint8_t> &bytes, bool &started) override
    {
        move();
        m_queue += toQt(bytes);
        mostQueued = std::max(mostQueued, m_queue.size());
        started = true;
        return std::nullopt;
    }
    bool hasPending() const override { return false; }
    Failure pushPending() override { return std::nullopt; }
    Failure unsent(std::size_t &bytes) override
    {
        move();
        bytes = std::size_t(m_queue.size());
        return std::nullopt;
    }
    void pause(Milliseconds most) override { QThread::msleep(qulonglong(most.count())); }
    void finish() override {}
    void discard() override { m_queue.clear(); }
    void release() override { m_open = false; }

    void move()
    {
        const qsizetype due = qsizetype(m_clock.elapsed() * m_rate / 1000) - m_moved;
        const qsizetype now = std::min(due, m_queue.size());
        line += m_queue.left(now);
        m_queue.remove(0, now);
        m_moved += std::max<qsizetype>(due, 0);
    }

    const int m_rate;
    bool m_open = false;
    QElapsedTimer m_clock;
    QByteArray m_queue;
    qsizetype m_moved = 0;
};

Q_DECLARE_METATYPE(PortReasons::Operation)

class tst_SerialChannel : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void com1IsTheFirstSerialPort();
    void setsLine();
    void outputsWholeFrame_data();
    void outputsWholeFrame();
    void closeRightAfterOutputLosesNothing();
    void destructorDrainsToo();
    void vanishedLineSaysDisconnected();
    void stalledReaderGetsWholeAcceptedFrames();
    void slowLineIsNotStalled();
    void closeOnStalledLineCountsFrames();
    void visibleQueueIsBounded();
    void openFailureSaysWhy_data();
    void openFailureSaysWhy();
    void lockFileOfTheResolvedDevice_data();
    void lockFileOfTheResolvedDevice();
    void reasons_data();
    void reasons();
    void outputBeforeOpenFails();
    void utf8Decoder_data();
    void utf8Decoder();

private:
    std::unique_ptr<PtyPair> m_pty;
};

void tst_SerialChannel::init()
{
    m_pty = std::make_unique<PtyPair>();
    QVERIFY(m_pty->isValid());
}

void tst_SerialChannel::com1IsTheFirstSerialPort()
{
    // Only the name: the real port is never opened here. The end-to-end tests give the program a /dev
    // of its own to show both cases.
    const bool named = QFileInfo::exists(QStringLiteral("/dev/COM1"));
    QCOMPARE(toQt(SerialChannel::com1PortName()),
             named ? QStringLiteral("/dev/COM1") : QStringLiteral("/dev/ttyS0"));
}

void tst_SerialChannel::setsLine()
{
    SerialChannel channel(m_pty->slavePath());
    QCOMPARE(channel.open(), std::nullopt);
    QVERIFY(channel.portOpen());

    termios line{};
    QCOMPARE(::tcgetattr(m_pty->slave(), &line), 0);
    QCOMPARE(::cfgetospeed(&line), speed_t(B9600));
    QCOMPARE(line.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(line.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(line.c_oflag & OPOST, tcflag_t(0)); // no LF to CR LF or other translation on the way out
    QCOMPARE(line.c_iflag & (IXON | IXOFF), tcflag_t(0));
}

void tst_SerialChannel::outputsWholeFrame_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("2 bytes") << QByteArray::fromHex("0041");
    QTest::newRow("LF and CR untranslated") << QByteArray::fromHex("000A000D0A0D");
    QByteArray longest(254, '\0');
    for (int i = 0; i < longest.size(); ++i)
        longest[i] = char(255 - i);
    QTest::newRow("254 bytes") << longest;
}

void tst_SerialChannel::outputsWholeFrame()
{
    QFETCH(QByteArray, frame);
    SerialChannel channel(m_pty->slavePath());
    QCOMPARE(channel.open(), std::nullopt);

    QCOMPARE(channel.output(toBytes(frame)), std::nullopt);
    // Handed to the OS before output() returned: no event loop has run since.
    QCOMPARE(m_pty->read(frame.size() + 1, 300), frame);
}

void tst_SerialChannel::closeRightAfterOutputLosesNothing()
{
    QByteArray all;
    SerialChannel channel(m_pty->slavePath());
    QCOMPARE(channel.open(), std::nullopt);
    for (int i = 0; i < 20; ++i) {
        const QByteArray frame = QByteArray::number(i).rightJustified(4, '0').repeated(i + 1);
        QCOMPARE(channel.output(toBytes(frame)), std::nullopt);
        all += frame;
    }
    QCOMPARE(channel.close(), std::nullopt);
    QVERIFY(!channel.portOpen());
    QCOMPARE(m_pty->read(all.size() + 1, 300), all);
}

void tst_SerialChannel::destructorDrainsToo()
{
    const QByteArray frame = QByteArray::fromHex("6C495B57");
    {
        SerialChannel channel(m_pty->slavePath());
        QCOMPARE(channel.open(), std::nullopt);
        QCOMPARE(channel.output(toBytes(frame)), std::nullopt);
    }
    QCOMPARE(m_pty->read(frame.size() + 1, 300), frame);
}

void tst_SerialChannel::vanishedLineSaysDisconnected()
{
    SerialChannel channel(m_pty->slavePath());
    QCOMPARE(channel.open(), std::nullopt);
    m_pty->closeMaster();
    // Idle while the cable is out: the port is write-only, so nothing polls it and nothing spins.
    QTest::qWait(200);
    QVERIFY(channel.portOpen());

    QCOMPARE(channel.output(toBytes(QByteArray::fromHex("0041"))), SerialChannel::Failure(toStd(kGone)));
    QVERIFY(!channel.portOpen());
    // Every later send says the same, with what to do: the channel does not open the port again.
    for (int send = 0; send < 2; ++send)
        QCOMPARE(channel.output(toBytes(QByteArray::fromHex("0042"))), SerialChannel::Failure(toStd(kGone)));
    QCOMPARE(channel.close(), std::nullopt);
}

// The module stops reading and later reads again. Every frame output() accepted arrives whole and in
// order, none cut and none lost; the refused ones never arrive; nothing after the stall is out of step.
void tst_SerialChannel::stalledReaderGetsWholeAcceptedFrames()
{
    SerialChannel channel(m_pty->slavePath());
    QCOMPARE(channel.open(), std::nullopt);
    m_pty->closeSlave();

    QByteArray accepted;
    int refused = 0;
    int n = 0;
    for (; refused < 2 && n < 1000; ++n) {
        const QByteArray frame = numberedFrame(n);
        const SerialChannel::Failure failure = channel.output(toBytes(frame));
        if (failure) {
            QCOMPARE(toQt(*failure), kStalled);
            ++refused;
        } else {
            accepted += frame;
        }
    }
    QCOMPARE(refused, 2);

    // The reader resumes. A frame the line had begun follows with the next send, which goes too.
    QByteArray received = m_pty->read(int(accepted.size()), 2000); // all but what the channel still holds
    const QByteArray next = numberedFrame(n);
    QCOMPARE(channel.output(toBytes(next)), std::nullopt);
    accepted += next;
    received += m_pty->read(int(accepted.size() - received.size()) + 1, 2000);
    QCOMPARE(received.size(), accepted.size());
    QVERIFY(received == accepted);
    QCOMPARE(channel.close(), std::nullopt);
}

// A module that reads at the line's own pace, 960 bytes a second, behind a buffer that is already
// full: each frame waits for room, and however long that takes, a line that keeps moving is not stalled.
void tst_SerialChannel::slowLineIsNotStalled()
{
    SerialChannel channel(m_pty->slavePath());
    QCOMPARE(channel.open(), std::nullopt);
    const qint64 filler = m_pty->fillUntilFull('\xEE');
    QVERIFY(filler > 0);
    m_pty->closeSlave();

    std::atomic<bool> sending{true};
    QByteArray received;
    std::thread reader([master = m_pty->master(), &sending, &received] {
        char chunk[48]; // every 50 ms: 960 bytes a second
        while (sending) {
            pollfd ready{master, POLLIN, 0};
            if (::poll(&ready, 1, 50) > 0) {
                const ssize_t n = ::read(master, chunk, sizeof chunk);
                if (n > 0)
                    received.append(chunk, n);
            }
            QThread::msleep(50);
        }
    });
    QByteArray frames;
    int refusals = 0;
    for (int n = 0; n < 30; ++n) {
        const QByteArray frame = numberedFrame(n);
        refusals += channel.output(toBytes(frame)) ? 1 : 0;
        frames += frame;
    }
    sending = false;
    reader.join();
    QCOMPARE(refusals, 0);
    QCOMPARE(channel.close(), std::nullopt);
    received += m_pty->read(int(filler + frames.size() - received.size()) + 1, 5000);
    QCOMPARE(received.size(), filler + frames.size());
    QVERIFY(received.left(int(filler)) == QByteArray(int(filler), '\xEE'));
    QVERIFY(received.mid(int(filler)) == frames);
}

// Closing on a line that has stopped must not hang; what it drops, it counts. A pty shows only the
// frame it has taken part of (its queue reads empty), so that is the one counted here. Blocks larger
// than the pty's last room make sure that one is there: the pty takes the start of one and then
// stops, and with no reader no room of that size comes back.
void tst_SerialChannel::closeOnStalledLineCountsFrames()
{
    SerialChannel channel(m_pty->slavePath());
    QCOMPARE(channel.open(), std::nullopt);
    m_pty->closeSlave();
    const std::vector<std::uint8_t> block(4999, 0x41);
    int n = 0;
    while (!channel.output(block) && n < 100)
        ++n;
    QCOMPARE(channel.close(),
             SerialChannel::Failure(u"线路阻塞：关闭串口时还有 1 帧数据没有完整送出，已被丢弃。"));
    QVERIFY(!channel.portOpen());
    // Only that one: the blocks before it, which the pty holds out of the channel's sight, still
    // reach the reader.
    QVERIFY(n > 1);
    QVERIFY(m_pty->read((n - 1) * int(block.size()), 2000).size() >= (n - 1) * qsizetype(block.size()));
}

// Where the driver shows its queue, no more than the transmit buffer's worth waits in it: a line
// moving at 960 bytes a second takes every frame in turn, and one that has stopped holds back two of
// the longest frames, refuses the third, and at close says that those two did not go out.
void tst_SerialChannel::visibleQueueIsBounded()
{
    const std::vector<std::uint8_t> frame = toBytes(numberedFrame(0));
    VisibleQueuePort moving(960);
    QCOMPARE(moving.open(), std::nullopt);
    QByteArray sent;
    for (int n = 0; n < 6; ++n) {
        QCOMPARE(moving.output(toBytes(numberedFrame(n))), std::nullopt);
        sent += numberedFrame(n);
    }
    QVERIFY(moving.mostQueued <= qsizetype(SerialLine::kTransmitBufferSize));
    QCOMPARE(moving.close(), std::nullopt);
    QVERIFY(moving.line == sent);

    VisibleQueuePort stopped(0);
    QCOMPARE(stopped.open(), std::nullopt);
    QCOMPARE(stopped.output(frame), std::nullopt);
    QCOMPARE(stopped.output(frame), std::nullopt);
    QCOMPARE(stopped.output(frame), SerialChannel::Failure(toStd(kStalled)));
    QCOMPARE(stopped.mostQueued, qsizetype(2 * frame.size()));
    QCOMPARE(stopped.close(),
             SerialChannel::Failure(u"线路阻塞：关闭串口时还有 2 帧数据没有完整送出，已被丢弃。"));
}

void tst_SerialChannel::openFailureSaysWhy_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << QStringLiteral("/nonexistent/qm47t-port") << kNoDevice;
    QTest::newRow("not a terminal") << QStringLiteral("/dev/null") << kNotSerial;
}

void tst_SerialChannel::openFailureSaysWhy()
{
    QFETCH(QString, device);
    QFETCH(QString, reason);
    SerialChannel channel(toStd(device));
    QCOMPARE(channel.open(), SerialChannel::Failure(toStd(reason)));
    QVERIFY(!channel.portOpen());
    QVERIFY(!QFile::exists(lockFilePath(device)));
}

void tst_SerialChannel::lockFileOfTheResolvedDevice_data()
{
    // What another program left in the lock file (%1: a live process number, this one's), and whether
    // the open is then refused: a refusal names this process and the lock file, or only the lock file
    // where the lock names no process. Otherwise the lock is ours afterwards.
    QTest::addColumn<QByteArray>("otherLock");
    QTest::addColumn<QString>("refusal");
    const QString named = QStringLiteral("named");
    const QString unnamed = QStringLiteral("unnamed");
    QTest::newRow("free") << QByteArray() << QString();
    QTest::newRow("HDB lock of a live process") << QByteArray("%1\n").rightJustified(13) << named;
    QTest::newRow("Qt lock of the live program it names")
        << QByteArray("%1\n") + QCoreApplication::applicationFilePath().section(u'/', -1).toUtf8() +
               "\nhost\n"
        << named;
    QTest::newRow("Qt lock naming the live program by its path")
        << QByteArray("%1\n") + QCoreApplication::applicationFilePath().toUtf8() + "\nhost\n"
        << named;
    // The process under that number is not minicom: left behind by a minicom that died, its number
    // since handed to another process.
    QTest::newRow("Qt lock naming another program") << QByteArray("%1\nminicom\nhost\n") << QString();
    QTest::newRow("unreadable lock") << QByteArray("\n") << unnamed;
    // Beyond the largest process number Linux hands out: left behind by a program that died.
    QTest::newRow("stale lock") << QByteArray("  99999999\n") << QString();
}

void tst_SerialChannel::lockFileOfTheResolvedDevice()
{
    QFETCH(QByteArray, otherLock);
    QFETCH(QString, refusal);
    // Through a symlink, as /dev/COM1 leads to /dev/ttyUSB0: the lock is the device's, not the name's.
    QTemporaryDir directory;
    const QString link = directory.filePath(QStringLiteral("COM1"));
    QVERIFY(QFile::link(toQt(m_pty->slavePath()), link));
    const QString lockPath = lockFilePath(toQt(m_pty->slavePath()));
    QFile lock(lockPath);
    if (!otherLock.isEmpty()) {
        QVERIFY(lock.open(QIODevice::WriteOnly | QIODevice::NewOnly));
        lock.write(otherLock.replace("%1", QByteArray::number(QCoreApplication::applicationPid())));
        lock.close();
    }
    const auto removeLock = qScopeGuard([&lock] { lock.remove(); });

    SerialChannel channel(toStd(link));
    const SerialChannel::Failure failure = channel.open();
    if (!refusal.isEmpty()) {
        const QString reason =
            refusal == QStringLiteral("named")
                ? heldBy(lockPath)
                : kHeld + QStringLiteral("如果该程序已经不在运行，删除锁文件 %1 后再试。").arg(lockPath);
        QCOMPARE(failure, SerialChannel::Failure(toStd(reason)));
        QVERIFY(lock.open(QIODevice::ReadOnly));
        QCOMPARE(lock.readAll(), otherLock); // another program's lock is never touched
        return;
    }
    QCOMPARE(failure, std::nullopt);
    QVERIFY(lock.open(QIODevice::ReadOnly));
    QCOMPARE(lock.readLine().trimmed(), QByteArray::number(QCoreApplication::applicationPid()));
    QCOMPARE(QString::fromUtf8(lock.readLine().trimmed()),
             QCoreApplication::applicationFilePath().section(u'/', -1));
    lock.close();
    // A program that opens the device by its own name finds it taken.
    SerialChannel other(m_pty->slavePath());
    QVERIFY(other.open());
    QCOMPARE(channel.close(), std::nullopt);
    QVERIFY(!QFile::exists(lockPath));
}

void tst_SerialChannel::reasons_data()
{
    using PortReasons::Operation;
    QTest::addColumn<bool>("windows");
    QTest::addColumn<qint64>("error");
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<QString>("reason");
    const auto posix = [](const char *name, int error, Operation operation, const QString &reason) {
        QTest::newRow(name) << false << qint64(error) << operation << reason;
    };
    posix("ENOENT at open", ENOENT, Operation::Open, kNoDevice);
    posix("ENXIO at open", ENXIO, Operation::Open, kNoDevice);
    posix("EIO at open: no chip behind ttyS0", EIO, Operation::Open, kNoHardware);
    posix("ENOTTY", ENOTTY, Operation::Open, kNotSerial);
    posix("EACCES", EACCES, Operation::Open, kNoPermission);
    posix("EPERM", EPERM, Operation::Open, kNoPermission);
    posix("EBUSY", EBUSY, Operation::Open, kHeld);
    posix("EWOULDBLOCK: another program's flock", EWOULDBLOCK, Operation::Open, kHeld);
    posix("EIO at write: unplugged", EIO, Operation::Write, kGone);
    posix("ENXIO at write", ENXIO, Operation::Write, kGone);
    posix("ENODEV at write", ENODEV, Operation::Write, kGone);
    posix("ENOTTY at write", ENOTTY, Operation::Write, kNotSerial);
    posix("EINVAL: the system's own text", EINVAL, Operation::Write,
          QStringLiteral("操作系统报告错误 %1：%2")
              .arg(EINVAL)
              .arg(QString::fromLocal8Bit(std::strerror(EINVAL))));
    const auto windows = [](const char *name, int error, Operation operation, const QString &reason) {
        QTest::newRow(name) << true << qint64(error) << operation << reason;
    };
    windows("ERROR_FILE_NOT_FOUND", 2, Operation::Open, kNoDevice);
    windows("ERROR_PATH_NOT_FOUND", 3, Operation::Open, kNoDevice);
    windows("ERROR_INVALID_FUNCTION", 1, Operation::Open, kNotSerialWindows);
    windows("ERROR_ACCESS_DENIED at open", 5, Operation::Open, kHeld);
    windows("ERROR_SHARING_VIOLATION", 32, Operation::Open, kHeld);
    windows("ERROR_ACCESS_DENIED at write: unplugged", 5, Operation::Write, kGone);
    windows("ERROR_BAD_COMMAND at write", 22, Operation::Write, kGone);
    windows("ERROR_NOT_READY at write", 21, Operation::Write, kGone);
    windows("ERROR_GEN_FAILURE", 31, Operation::Write, kGone);
    windows("ERROR_DEVICE_REMOVED", 1617, Operation::Write, kGone);
    windows("ERROR_INVALID_FUNCTION at write", 1, Operation::Write, kNotSerialWindows);
    windows("ERROR_INVALID_PARAMETER: the system's own text", 87, Operation::Write,
            QStringLiteral("操作系统报告错误 87：The parameter is incorrect."));
}

// Every row at write doubles as a row for the channels' one test of a device that has gone: the
// device is gone exactly where the user is told so.
void tst_SerialChannel::reasons()
{
    QFETCH(bool, windows);
    QFETCH(qint64, error);
    QFETCH(PortReasons::Operation, operation);
    QFETCH(QString, reason);
    const std::u16string said =
        windows ? PortReasons::windowsReason(std::uint32_t(error), operation, u"The parameter is incorrect.")
                : PortReasons::posixReason(int(error), operation,
                                           toStd(QString::fromLocal8Bit(std::strerror(int(error)))));
    QCOMPARE(toQt(said), reason);
    if (operation == PortReasons::Operation::Write) {
        const bool gone = windows ? PortReasons::windowsDeviceGone(std::uint32_t(error))
                                  : PortReasons::posixDeviceGone(int(error));
        QCOMPARE(gone, reason == kGone);
    }
}

void tst_SerialChannel::outputBeforeOpenFails()
{
    SerialChannel channel(m_pty->slavePath());
    QCOMPARE(channel.output(toBytes(QByteArray::fromHex("0041"))), SerialChannel::Failure(u"串口未打开"));
    QCOMPARE(m_pty->readPending(), QByteArray());
}

void tst_SerialChannel::utf8Decoder_data()
{
    // Bytes as the system hands them over (process names, its messages), and the text they must read as.
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    const QString bad(1, QChar(0xFFFD));
    QTest::newRow("ASCII") << QByteArray("minicom") << QStringLiteral("minicom");
    QTest::newRow("2 bytes: U+0080, U+07FF")
        << QByteArray::fromHex("C280DFBF") << QStringLiteral("\u0080\u07FF");
    QTest::newRow("3 bytes: 汉字") << QByteArray::fromHex("E6B189E5AD97") << QStringLiteral("汉字");
    QTest::newRow("3 bytes: U+0800, U+FFFF")
        << QByteArray::fromHex("E0A080EFBFBF") << QStringLiteral("\u0800\uFFFF");
    QTest::newRow("4 bytes: U+10000, U+10FFFF")
        << QByteArray::fromHex("F0908080F48FBFBF") << QStringLiteral("\U00010000\U0010FFFF");
    QTest::newRow("overlong 2: C0 AF") << QByteArray::fromHex("C0AF") << bad + bad;
    QTest::newRow("overlong 3: E0 80 AF") << QByteArray::fromHex("E080AF") << bad + bad + bad;
    QTest::newRow("overlong 4: F0 8F BF BF") << QByteArray::fromHex("F08FBFBF") << bad.repeated(4);
    QTest::newRow("surrogate: ED A0 80") << QByteArray::fromHex("EDA080") << bad.repeated(3);
    QTest::newRow("beyond U+10FFFF: F4 90 80 80") << QByteArray::fromHex("F4908080") << bad.repeated(4);
    QTest::newRow("F5 lead") << QByteArray::fromHex("F5808080") << bad.repeated(4);
    QTest::newRow("F8 80 80: no longer 耀") << QByteArray::fromHex("F88080") << bad.repeated(3);
    QTest::newRow("FF and FE") << QByteArray::fromHex("FFFE41") << bad + bad + QStringLiteral("A");
    QTest::newRow("bare continuation") << QByteArray::fromHex("80BF41") << bad + bad + QStringLiteral("A");
    QTest::newRow("truncated 3 at the end") << QByteArray::fromHex("41E6B1") << QStringLiteral("A") + bad;
    QTest::newRow("truncated 4 before ASCII") << QByteArray::fromHex("F09F9841") << bad + QStringLiteral("A");
    QTest::newRow("truncated 2 before a lead")
        << QByteArray::fromHex("C3E6B189") << bad + QStringLiteral("汉");
}

void tst_SerialChannel::utf8Decoder()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    const std::u16string decoded = fromUtf8(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    QCOMPARE(toQt(decoded), text);
    // And the way back, for text that was well-formed.
    if (!text.contains(QChar(0xFFFD)))
        QCOMPARE(QByteArray::fromStdString(toUtf8(decoded)), bytes);
}

QTEST_GUILESS_MAIN(tst_SerialChannel)
#include "tst_serialchannel.moc"
