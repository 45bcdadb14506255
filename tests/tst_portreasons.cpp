// SPDX-License-Identifier: MIT
// Why a port cannot be opened or written, in the words the user reads: the reasons for each system
// error, the open failures and lock files a real open meets, and the UTF-8 decoder those words go
// through.
#include "portreasons.h"

#include "ptypair.h"
#include "qtbridge.h"
#include "serialchannel.h"
#include "utf8.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include <sys/resource.h>

namespace {

// Each points at help the user has: on Linux what the package installs, on Windows the steps.
const QString kNoDevice = QStringLiteral(
    "找不到该设备。检查模块是否接好；模块接在 USB 转串口线上时，要用 udev 规则把它设为 /dev/COM1："
    "见 man qm47t-converter 和示例规则 /usr/share/doc/qm47t-converter/examples/99-qm47t-com1.rules。");
const QString kNoDeviceWindows = QStringLiteral(
    "找不到该设备。检查模块是否接好；模块接在 USB 转串口线上时，要在设备管理器中把它设为 COM1：展开"
    "“端口 (COM 和 LPT)”，打开该串口线的属性，在“端口设置”中点“高级”，把“COM 端口号”选为 COM1。");
const QString kNoHardware = QStringLiteral("这台电脑的 COM1 没有串口硬件；使用 USB 转串口线。");
const QString kNotSerial = QStringLiteral(
    "该设备不是串口。检查 udev 规则中 COM1 指向的设备是否是 USB 转串口线（/dev/ttyUSB0 或 /dev/ttyACM0），"
    "以及模块的线缆是否接在这个串口上。");
const QString kNotSerialWindows =
    QStringLiteral("该设备不是串口。在设备管理器的“端口 (COM 和 LPT)”中检查 COM1 "
                   "是否是模块所接的串口，以及模块的线缆是否接好。");
// A step for whoever administers the machine: its user may have no sudo.
const QString kNoPermission = QStringLiteral("没有使用该串口的权限：需要加入 dialout 组。请管理员以 root "
                                             "身份执行 adduser 你的用户名 dialout，然后重新登录。");
const QString kHeld = QStringLiteral("串口正被另一个程序占用。请先关闭该程序，再启动本程序。");
const QString kGone =
    QStringLiteral("串口设备已断开，可能是 USB 转串口线被拔出。请接好模块的线缆或 USB 转串口线，"
                   "然后重新启动本程序：程序不会自动重新打开串口。");

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

Q_DECLARE_METATYPE(PortReasons::Operation)

class tst_PortReasons : public QObject
{
    Q_OBJECT

private slots:
    void openFailureSaysWhy_data();
    void openFailureSaysWhy();
    void lockFileOfTheResolvedDevice_data();
    void lockFileOfTheResolvedDevice();
    void staleLockIsTakenOverOnce();
    void reasons_data();
    void reasons();
    void utf8Decoder_data();
    void utf8Decoder();
    void utf8EncoderReplacesLoneSurrogates();
};

void tst_PortReasons::openFailureSaysWhy_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << QStringLiteral("/nonexistent/qm47t-port") << kNoDevice;
    QTest::newRow("not a terminal") << QStringLiteral("/dev/null") << kNotSerial;
}

void tst_PortReasons::openFailureSaysWhy()
{
    QFETCH(QString, device);
    QFETCH(QString, reason);
    SerialChannel channel(toStd(device));
    QCOMPARE(channel.open(), SerialChannel::Failure(toStd(reason)));
    QVERIFY(!channel.portOpen());
    QVERIFY(!QFile::exists(lockFilePath(device)));
}

void tst_PortReasons::lockFileOfTheResolvedDevice_data()
{
    // What another program left in the lock file (%1: a live process number, this one's), and whether
    // the open is then refused: a refusal names this process and the lock file, or only the lock file
    // where the lock names no process. Otherwise the lock is ours afterwards.
    // `fileSizeLimit`, where not 0, is how many bytes a file may take, as on a full disk.
    QTest::addColumn<QByteArray>("otherLock");
    QTest::addColumn<QString>("refusal");
    QTest::addColumn<qint64>("fileSizeLimit");
    const QString named = QStringLiteral("named");
    const QString unnamed = QStringLiteral("unnamed");
    QTest::newRow("free") << QByteArray() << QString() << qint64(0);
    QTest::newRow("HDB lock of a live process")
        << QByteArray("%1\n").rightJustified(13) << named << qint64(0);
    QTest::newRow("Qt lock of the live program it names")
        << QByteArray("%1\n") + QCoreApplication::applicationFilePath().section(u'/', -1).toUtf8() +
               "\nhost\n"
        << named << qint64(0);
    QTest::newRow("Qt lock naming the live program by its path")
        << QByteArray("%1\n") + QCoreApplication::applicationFilePath().toUtf8() + "\nhost\n"
        << named << qint64(0);
    // The process under that number is not minicom: left behind by a minicom that died, its number
    // since handed to another process.
    QTest::newRow("Qt lock naming another program")
        << QByteArray("%1\nminicom\nhost\n") << QString() << qint64(0);
    QTest::newRow("unreadable lock") << QByteArray("\n") << unnamed << qint64(0);
    // Beyond the largest process number Linux hands out: left behind by a program that died.
    QTest::newRow("stale lock") << QByteArray("  99999999\n") << QString() << qint64(0);
    // A lock that names no one does not hold the port for us: the open fails, with the system's
    // reason, and leaves no lock behind.
    QTest::newRow("lock written short") << QByteArray() << QStringLiteral("short") << qint64(4);
    QTest::newRow("stale lock, ours written short")
        << QByteArray("  99999999\n") << QStringLiteral("short") << qint64(4);
}

void tst_PortReasons::lockFileOfTheResolvedDevice()
{
    QFETCH(QByteArray, otherLock);
    QFETCH(QString, refusal);
    QFETCH(qint64, fileSizeLimit);
    const PtyPair pty;
    QVERIFY(pty.isValid());
    // Through a symlink, as /dev/COM1 leads to /dev/ttyUSB0: the lock is the device's, not the name's.
    QTemporaryDir directory;
    const QString link = directory.filePath(QStringLiteral("COM1"));
    QVERIFY(QFile::link(toQt(pty.slavePath()), link));
    const QString lockPath = lockFilePath(toQt(pty.slavePath()));
    QFile lock(lockPath);
    if (!otherLock.isEmpty()) {
        QVERIFY(lock.open(QIODevice::WriteOnly | QIODevice::NewOnly));
        lock.write(otherLock.replace("%1", QByteArray::number(QCoreApplication::applicationPid())));
        lock.close();
    }
    const auto removeLock = qScopeGuard([&lock] { lock.remove(); });

    SerialChannel channel(toStd(link));
    rlimit fileSize{};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &fileSize), 0);
    if (fileSizeLimit > 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limited{rlim_t(fileSizeLimit), fileSize.rlim_max};
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    }
    const SerialChannel::Failure failure = channel.open();
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &fileSize), 0);
    if (!refusal.isEmpty()) {
        QString reason =
            kHeld + QStringLiteral("如果该程序已经不在运行，删除锁文件 %1 后再试。").arg(lockPath);
        if (refusal == QStringLiteral("named"))
            reason = heldBy(lockPath);
        else if (refusal == QStringLiteral("short"))
            reason = QStringLiteral("操作系统报告错误 %1：%2")
                         .arg(EFBIG)
                         .arg(QString::fromLocal8Bit(std::strerror(EFBIG)));
        QCOMPARE(failure, SerialChannel::Failure(toStd(reason)));
        QVERIFY(!channel.portOpen());
        if (otherLock.isEmpty()) {
            QVERIFY(!QFile::exists(lockPath));
            return;
        }
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
    SerialChannel other(pty.slavePath());
    QVERIFY(other.open());
    QCOMPARE(channel.close(), std::nullopt);
    QVERIFY(!QFile::exists(lockPath));
}

// Programs started at once all find the same lock left over by a crash. One of them takes it over,
// and its lock stays in place for as long as it holds the port: another could otherwise judge the
// lock stale from what it read before, remove the new one, and leave the port held without a lock.
void tst_PortReasons::staleLockIsTakenOverOnce()
{
    constexpr int kPrograms = 4;
    const PtyPair pty;
    QVERIFY(pty.isValid());
    const QString lockPath = lockFilePath(toQt(pty.slavePath()));
    const auto removeLock = qScopeGuard([&lockPath] { QFile::remove(lockPath); });
    for (int round = 0; round < 100; ++round) {
        QFile lock(lockPath);
        QVERIFY(lock.open(QIODevice::WriteOnly | QIODevice::NewOnly));
        lock.write("  99999999\n");
        lock.close();

        std::vector<std::unique_ptr<SerialChannel>> programs;
        for (int n = 0; n < kPrograms; ++n)
            programs.push_back(std::make_unique<SerialChannel>(pty.slavePath()));
        std::atomic<int> ready{0};
        std::vector<std::thread> starts;
        for (const std::unique_ptr<SerialChannel> &program : programs) {
            starts.emplace_back([&ready, &program] {
                ++ready;
                while (ready < kPrograms)
                    std::this_thread::yield();
                (void)program->open();
            });
        }
        for (std::thread &start : starts)
            start.join();

        const auto holders = std::count_if(programs.begin(), programs.end(),
                                           [](const auto &program) { return program->portOpen(); });
        QCOMPARE(holders, 1);
        QVERIFY2(QFile::exists(lockPath),
                 qPrintable(QStringLiteral("round %1: the port is held without a lock "
                                           "file")
                                .arg(round)));
        programs.clear();
        QVERIFY(!QFile::exists(lockPath));
    }
}

void tst_PortReasons::reasons_data()
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
    windows("ERROR_FILE_NOT_FOUND", 2, Operation::Open, kNoDeviceWindows);
    windows("ERROR_PATH_NOT_FOUND", 3, Operation::Open, kNoDeviceWindows);
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
void tst_PortReasons::reasons()
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

void tst_PortReasons::utf8Decoder_data()
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

void tst_PortReasons::utf8Decoder()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    const std::u16string decoded = fromUtf8(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    QCOMPARE(toQt(decoded), text);
    // And the way back, for text that was well-formed.
    if (!text.contains(QChar(0xFFFD)))
        QCOMPARE(QByteArray::fromStdString(toUtf8(decoded)), bytes);
}

void tst_PortReasons::utf8EncoderReplacesLoneSurrogates()
{
    // (text, what the system must be handed) A lone surrogate becomes U+FFFD, never invalid UTF-8.
    const std::pair<std::u16string, QByteArray> cases[] = {
        {u"a\xD800", QByteArray::fromHex("61EFBFBD")},
        {u"\xDC00" u"a", QByteArray::fromHex("EFBFBD61")},
        {u"\xD800\xD800\xDC00", QByteArray::fromHex("EFBFBDF0908080")},
        {u"\xDBFF\xDFFF", QByteArray::fromHex("F48FBFBF")},
    };
    for (const auto &[text, bytes] : cases)
        QCOMPARE(QByteArray::fromStdString(toUtf8(text)).toHex(' '), bytes.toHex(' '));
}

QTEST_GUILESS_MAIN(tst_PortReasons)
#include "tst_portreasons.moc"
