// SPDX-License-Identifier: MIT
#include "serialchannel.h"

#include "portreasons.h"
#include "ptypair.h"
#include "qtbridge.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>

namespace {

const QString kNoDevice =
    QStringLiteral("找不到该设备。检查模块是否接好，或按 README 为 USB 转串口线设置 COM1。");
const QString kNoHardware = QStringLiteral("这台电脑的 COM1 没有串口硬件；使用 USB 转串口线。");
const QString kNotSerial = QStringLiteral("该设备不是串口。");
const QString kNoPermission =
    QStringLiteral("没有使用该串口的权限。执行 sudo adduser $USER dialout，然后重新登录。");
const QString kHeld = QStringLiteral("串口正被另一个程序占用。");
const QString kGone = QStringLiteral("串口设备已断开，可能是 USB 转串口线被拔出。");

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

} // namespace

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
    void vanishedLineFailsOnceThenNotOpen();
    void openFailureSaysWhy_data();
    void openFailureSaysWhy();
    void lockFileOfTheResolvedDevice_data();
    void lockFileOfTheResolvedDevice();
    void reasons_data();
    void reasons();
    void outputBeforeOpenFails();

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

void tst_SerialChannel::vanishedLineFailsOnceThenNotOpen()
{
    SerialChannel channel(m_pty->slavePath());
    QCOMPARE(channel.open(), std::nullopt);
    m_pty->closeMaster();
    // Idle while the cable is out: the port is write-only, so nothing polls it and nothing spins.
    QTest::qWait(200);
    QVERIFY(channel.portOpen());

    const SerialChannel::Failure first = channel.output(toBytes(QByteArray::fromHex("0041")));
    QVERIFY(first);
    QVERIFY(!first->empty());
    QVERIFY(!channel.portOpen());
    QCOMPARE(channel.output(toBytes(QByteArray::fromHex("0042"))), SerialChannel::Failure(u"串口未打开"));
    QCOMPARE(channel.close(), std::nullopt);
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
    // What another program left in the lock file (%1: a live process number), and the reason the
    // open then fails with: none when the port is free.
    QTest::addColumn<QByteArray>("otherLock");
    QTest::addColumn<QString>("reason");
    const QString held = QStringLiteral("串口正被另一个程序占用：进程 %1（%2）。")
                             .arg(QCoreApplication::applicationPid())
                             .arg(ownComm());
    QTest::newRow("free") << QByteArray() << QString();
    QTest::newRow("HDB lock of a live process") << QByteArray("%1\n").rightJustified(13) << held;
    QTest::newRow("Qt lock of a live process") << QByteArray("%1\nminicom\nhost\n") << held;
    QTest::newRow("unreadable lock") << QByteArray("\n") << kHeld;
    // Beyond the largest process number Linux hands out: left behind by a program that died.
    QTest::newRow("stale lock") << QByteArray("  99999999\n") << QString();
}

void tst_SerialChannel::lockFileOfTheResolvedDevice()
{
    QFETCH(QByteArray, otherLock);
    QFETCH(QString, reason);
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
    if (!reason.isEmpty()) {
        QCOMPARE(failure, SerialChannel::Failure(toStd(reason)));
        QVERIFY(lock.open(QIODevice::ReadOnly));
        QCOMPARE(lock.readAll(), otherLock); // another program's lock is never touched
        return;
    }
    QCOMPARE(failure, std::nullopt);
    QVERIFY(lock.open(QIODevice::ReadOnly));
    QCOMPARE(lock.readLine().trimmed(), QByteArray::number(QCoreApplication::applicationPid()));
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
    posix("EINVAL: the system's own text", EINVAL, Operation::Write,
          QStringLiteral("操作系统报告错误 %1：%2")
              .arg(EINVAL)
              .arg(QString::fromLocal8Bit(std::strerror(EINVAL))));
    const auto windows = [](const char *name, int error, Operation operation, const QString &reason) {
        QTest::newRow(name) << true << qint64(error) << operation << reason;
    };
    windows("ERROR_FILE_NOT_FOUND", 2, Operation::Open, kNoDevice);
    windows("ERROR_PATH_NOT_FOUND", 3, Operation::Open, kNoDevice);
    windows("ERROR_INVALID_FUNCTION", 1, Operation::Open, kNotSerial);
    windows("ERROR_ACCESS_DENIED at open", 5, Operation::Open, kHeld);
    windows("ERROR_SHARING_VIOLATION", 32, Operation::Open, kHeld);
    windows("ERROR_ACCESS_DENIED at write: unplugged", 5, Operation::Write, kGone);
    windows("ERROR_BAD_COMMAND at write", 22, Operation::Write, kGone);
    windows("ERROR_NOT_READY at write", 21, Operation::Write, kGone);
    windows("ERROR_GEN_FAILURE", 31, Operation::Write, kGone);
    windows("ERROR_DEVICE_REMOVED", 1617, Operation::Write, kGone);
    windows("ERROR_INVALID_PARAMETER: the system's own text", 87, Operation::Write,
            QStringLiteral("操作系统报告错误 87：The parameter is incorrect."));
}

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
}

void tst_SerialChannel::outputBeforeOpenFails()
{
    SerialChannel channel(m_pty->slavePath());
    QCOMPARE(channel.output(toBytes(QByteArray::fromHex("0041"))), SerialChannel::Failure(u"串口未打开"));
    QCOMPARE(m_pty->readPending(), QByteArray());
}

QTEST_GUILESS_MAIN(tst_SerialChannel)
#include "tst_serialchannel.moc"
