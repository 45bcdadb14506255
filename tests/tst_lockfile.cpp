// SPDX-License-Identifier: MIT
// The UUCP lock file, in a lock directory of the test's own: the forms other programs leave it in,
// which of them keep the port and which are left over and taken over, ours as it is written, and
// programs that find the same lock left over at once. The channel's lock, read back by another
// channel, is in tst_serialchannel.
#include "lockfile.h"

#include "qtbridge.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include <sys/resource.h>

namespace {

// Its lock is LCK..pts_7: the path below /dev, slashes as underscores, as Qt names them.
const std::string kDevice = "/dev/pts/7";

PortFailure heldBy(long pid, const QString &program, const QString &lockFile)
{
    return PortFailure::heldBy(pid, toStd(program), toStd(lockFile));
}

QString ownComm()
{
    QFile comm(QStringLiteral("/proc/self/comm"));
    return comm.open(QIODevice::ReadOnly) ? QString::fromUtf8(comm.readLine()).trimmed() : QString();
}

} // namespace

class tst_LockFile : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void anotherProgramsLock_data();
    void anotherProgramsLock();
    void staleLockIsTakenOverOnce();

private:
    std::unique_ptr<QTemporaryDir> m_directory;
    QString m_lockPath;
};

void tst_LockFile::init()
{
    m_directory = std::make_unique<QTemporaryDir>();
    QVERIFY(m_directory->isValid());
    m_lockPath = m_directory->filePath(QStringLiteral("LCK..pts_7"));
}

void tst_LockFile::anotherProgramsLock_data()
{
    // What another program left in the lock file (%1: a live process number, this one's), and whether
    // the port is then refused: a refusal names this process and the lock file, or only the lock file
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
    // A lock that names no one does not hold the port for us: the port is refused, with the system's
    // reason, and no lock is left behind.
    QTest::newRow("lock written short") << QByteArray() << QStringLiteral("short") << qint64(4);
    QTest::newRow("stale lock, ours written short")
        << QByteArray("  99999999\n") << QStringLiteral("short") << qint64(4);
}

void tst_LockFile::anotherProgramsLock()
{
    QFETCH(QByteArray, otherLock);
    QFETCH(QString, refusal);
    QFETCH(qint64, fileSizeLimit);
    const long pid = long(QCoreApplication::applicationPid());
    QFile lock(m_lockPath);
    if (!otherLock.isEmpty()) {
        QVERIFY(lock.open(QIODevice::WriteOnly | QIODevice::NewOnly));
        lock.write(otherLock.replace("%1", QByteArray::number(qint64(pid))));
        lock.close();
    }

    LockFile ours(m_directory->path().toStdString());
    rlimit fileSize{};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &fileSize), 0);
    if (fileSizeLimit > 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limited{rlim_t(fileSizeLimit), fileSize.rlim_max};
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    }
    const std::optional<PortFailure> failure = ours.acquire(kDevice);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &fileSize), 0);
    // Nothing of ours is left beside the lock, whatever became of it.
    const QStringList left = QDir(m_directory->path()).entryList(QDir::Files | QDir::Hidden);
    QCOMPARE(left,
             otherLock.isEmpty() && failure ? QStringList() : QStringList{QStringLiteral("LCK..pts_7")});

    if (refusal == QStringLiteral("short")) {
        QVERIFY(failure);
        QCOMPARE(failure->reason, PortFailure::Reason::System);
        QCOMPARE(failure->code, qint64(EFBIG));
        QCOMPARE(toQt(failure->systemText), QString::fromLocal8Bit(std::strerror(EFBIG)));
    } else if (!refusal.isEmpty()) {
        QCOMPARE(failure,
                 std::optional(refusal == QStringLiteral("named") ? heldBy(pid, ownComm(), m_lockPath)
                                                                  : heldBy(0, {}, m_lockPath)));
    }
    if (!refusal.isEmpty()) {
        if (!otherLock.isEmpty()) {
            QVERIFY(lock.open(QIODevice::ReadOnly));
            QCOMPARE(lock.readAll(), otherLock); // another program's lock is never touched
        }
        return;
    }
    QCOMPARE(failure, std::nullopt);
    QVERIFY(lock.open(QIODevice::ReadOnly));
    QCOMPARE(lock.readLine().trimmed(), QByteArray::number(qint64(pid)));
    QCOMPARE(QString::fromUtf8(lock.readLine().trimmed()),
             QCoreApplication::applicationFilePath().section(u'/', -1));
    ours.release();
    QVERIFY(!QFile::exists(m_lockPath));
}

// Programs started at once all find the same lock left over by a crash. One of them takes it over,
// and its lock stays in place for as long as it holds the port: another could otherwise judge the
// lock stale from what it read before, remove the new one, and leave the port held without a lock.
void tst_LockFile::staleLockIsTakenOverOnce()
{
    constexpr int kPrograms = 4;
    for (int round = 0; round < 100; ++round) {
        QFile lock(m_lockPath);
        QVERIFY(lock.open(QIODevice::WriteOnly | QIODevice::NewOnly));
        lock.write("  99999999\n");
        lock.close();

        std::vector<std::unique_ptr<LockFile>> programs;
        for (int n = 0; n < kPrograms; ++n)
            programs.push_back(std::make_unique<LockFile>(m_directory->path().toStdString()));
        std::atomic<int> ready{0};
        std::atomic<int> holders{0};
        std::vector<std::thread> starts;
        for (const std::unique_ptr<LockFile> &program : programs) {
            starts.emplace_back([&ready, &holders, &program] {
                ++ready;
                while (ready < kPrograms)
                    std::this_thread::yield();
                if (!program->acquire(kDevice))
                    ++holders;
            });
        }
        for (std::thread &start : starts)
            start.join();

        QCOMPARE(holders.load(), 1);
        QVERIFY2(QFile::exists(m_lockPath),
                 qPrintable(QStringLiteral("round %1: the port is held without a lock file").arg(round)));
        programs.clear();
        QVERIFY(!QFile::exists(m_lockPath));
    }
}

QTEST_GUILESS_MAIN(tst_LockFile)
#include "tst_lockfile.moc"
