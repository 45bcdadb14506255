// SPDX-License-Identifier: MIT
// The UUCP lock file, in a lock directory of the test's own: the forms other programs leave it in,
// which of them keep the port and which are left over and taken over, ours as it is written, and
// programs that find the same lock left over at once. The channel's lock, read back by another
// channel, is in tst_serialchannel.
#include "lockfile.h"

#include "qtbridge.h"

#include <QCoreApplication>
#include <QDir>
#include <QScopeGuard>
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

using Refusal = std::optional<PortFailure>;

} // namespace

Q_DECLARE_METATYPE(Refusal)

class tst_LockFile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void anotherProgramsLock_data();
    void anotherProgramsLock();
    void staleLockIsTakenOverOnce();

private:
    QTemporaryDir m_directory;
    QString m_lockPath;
};

void tst_LockFile::initTestCase()
{
    QVERIFY(m_directory.isValid());
    m_lockPath = m_directory.filePath(QStringLiteral("LCK..pts_7"));
}

void tst_LockFile::anotherProgramsLock_data()
{
    // What another program left in the lock file (%1: a live process number, this one's), and why the
    // port is then refused: a refusal names this process, by the kernel's name for it, and the lock
    // file, or only the lock file where the lock names no process. Otherwise the lock is ours.
    // `fileSizeLimit`, where not 0, is how many bytes a file may take, as on a full disk.
    QTest::addColumn<QByteArray>("otherLock");
    QTest::addColumn<qint64>("fileSizeLimit");
    QTest::addColumn<Refusal>("refusal");
    QFile comm(QStringLiteral("/proc/self/comm"));
    QVERIFY(comm.open(QIODevice::ReadOnly));
    const Refusal named =
        PortFailure::heldBy(long(QCoreApplication::applicationPid()),
                            toStd(QString::fromUtf8(comm.readLine().trimmed())), toStd(m_lockPath));
    const Refusal unnamed = PortFailure::heldBy(0, {}, toStd(m_lockPath));
    // A lock that names no one does not hold the port for us: the port is refused, with the system's
    // reason, and no lock is left behind.
    const Refusal writtenShort =
        PortFailure(PortFailure::Reason::System, EFBIG, toStd(QString::fromLocal8Bit(std::strerror(EFBIG))));
    const QByteArray program = QCoreApplication::applicationFilePath().toUtf8();
    QTest::newRow("free") << QByteArray() << qint64(0) << Refusal();
    QTest::newRow("HDB lock of a live process")
        << QByteArray("%1\n").rightJustified(13) << qint64(0) << named;
    QTest::newRow("Qt lock of the live program it names")
        << QByteArray("%1\n") + program.mid(program.lastIndexOf('/') + 1) + "\nhost\n"
        << qint64(0) << named;
    QTest::newRow("Qt lock naming the live program by its path") << QByteArray("%1\n") + program + "\nhost\n"
                                                                 << qint64(0) << named;
    // The process under that number is not minicom: left behind by a minicom that died, its number
    // since handed to another process.
    QTest::newRow("Qt lock naming another program")
        << QByteArray("%1\nminicom\nhost\n") << qint64(0) << Refusal();
    QTest::newRow("unreadable lock") << QByteArray("\n") << qint64(0) << unnamed;
    // Beyond the largest process number Linux hands out: left behind by a program that died.
    QTest::newRow("stale lock") << QByteArray("  99999999\n") << qint64(0) << Refusal();
    QTest::newRow("lock written short") << QByteArray() << qint64(4) << writtenShort;
    QTest::newRow("stale lock, ours written short")
        << QByteArray("  99999999\n") << qint64(4) << writtenShort;
}

void tst_LockFile::anotherProgramsLock()
{
    QFETCH(QByteArray, otherLock);
    QFETCH(qint64, fileSizeLimit);
    QFETCH(Refusal, refusal);
    const QByteArray pid = QByteArray::number(QCoreApplication::applicationPid());
    QFile lock(m_lockPath);
    const auto removeLock = qScopeGuard([&lock] { lock.remove(); });
    if (!otherLock.isEmpty()) {
        QVERIFY(lock.open(QIODevice::WriteOnly | QIODevice::NewOnly));
        lock.write(otherLock.replace("%1", pid));
        lock.close();
    }

    LockFile ours(m_directory.path().toStdString());
    rlimit fileSize{};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &fileSize), 0);
    if (fileSizeLimit > 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limited{rlim_t(fileSizeLimit), fileSize.rlim_max};
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    }
    const Refusal refused = ours.acquire(kDevice);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &fileSize), 0);
    QCOMPARE(refused, refusal);
    // Nothing of ours is left beside the lock, whatever became of it.
    const bool noLock = otherLock.isEmpty() && refusal;
    QCOMPARE(QDir(m_directory.path()).entryList(QDir::Files | QDir::Hidden),
             noLock ? QStringList() : QStringList{QStringLiteral("LCK..pts_7")});
    if (refusal) {
        if (!noLock) {
            QVERIFY(lock.open(QIODevice::ReadOnly));
            QCOMPARE(lock.readAll(), otherLock); // another program's lock is never touched
        }
        return;
    }
    QVERIFY(lock.open(QIODevice::ReadOnly));
    QCOMPARE(lock.readLine(), pid + '\n');
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
            programs.push_back(std::make_unique<LockFile>(m_directory.path().toStdString()));
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
