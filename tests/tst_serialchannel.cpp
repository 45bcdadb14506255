// SPDX-License-Identifier: MIT
// The channel on a pseudo-terminal: opening it or why it cannot, the lock it takes, output, a stalled
// or slow line, close, a device that goes away. Which reason a system error is: tst_portreasons; the
// lock file itself: tst_lockfile; the words for each reason: tst_formcontroller.
#include "serialchannel.h"

#include "lockfile.h"
#include "ptypair.h"
#include "qtbridge.h"
#include "serialline.h"
#include "serialport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

namespace {

// An adapter that stops answering: the system's drain, which this program's tcdrain() stands in for,
// never returns while it hangs. A pty's own drain returns at once, as this one does otherwise.
struct HangingDrain
{
    std::mutex mutex;
    std::condition_variable released;
    bool hangs = false;
} g_drain;

} // namespace

extern "C" int tcdrain(int)
{
    std::unique_lock<std::mutex> lock(g_drain.mutex);
    g_drain.released.wait(lock, [] { return !g_drain.hangs; });
    return 0;
}

namespace {

using Reason = PortFailure::Reason;

// The system's lock file for `device`: LCK.. and its path below /dev, slashes as underscores.
QString lockFilePath(const QString &device)
{
    return QString::fromStdString(LockFile::systemDirectory()) + QStringLiteral("/LCK..") +
           device.mid(5).replace(u'/', u'_');
}

// A frame as the send makes it, 127 units of one character, told apart from its neighbours by `n`.
QByteArray numberedFrame(int n)
{
    const char16_t unit = char16_t(0x4E00 + n);
    return QByteArray(1, char(unit >> 8)).append(char(unit & 0xFF)).repeated(127);
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
    SerialChannel::Handle pendingHandle() const override { return -1; }
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
    bool finish() override { return true; }
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

Q_DECLARE_METATYPE(PortFailure::Reason)

class tst_SerialChannel : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void com1IsTheFirstSerialPort();
    void openFailureSaysWhy_data();
    void openFailureSaysWhy();
    void lockIsTheResolvedDevices();
    void setsLine();
    void outputsWholeFrame_data();
    void outputsWholeFrame();
    void closeRightAfterOutputLosesNothing();
    void destructorDrainsToo();
    void vanishedLineSaysDisconnected();
    void stalledLineGivesUp();
    void stalledReaderGetsWholeAcceptedFrames();
    void slowLineIsNotStalled();
    void closeOnStalledLineCountsFrames();
    void closeIsBoundedWhenTheDrainHangs();
    void visibleQueueIsBounded();
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

void tst_SerialChannel::openFailureSaysWhy_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<Reason>("reason");
    QTest::newRow("missing") << QStringLiteral("/nonexistent/qm47t-port") << Reason::NoDevice;
    QTest::newRow("not a terminal") << QStringLiteral("/dev/null") << Reason::NotSerial;
}

void tst_SerialChannel::openFailureSaysWhy()
{
    QFETCH(QString, device);
    QFETCH(Reason, reason);
    SerialChannel channel(toStd(device));
    QCOMPARE(reasonOf(channel.open()), reason);
    QVERIFY(!channel.portOpen());
    QVERIFY(!QFile::exists(lockFilePath(device)));
}

// Through a symlink, as /dev/COM1 leads to /dev/ttyUSB0: the lock is the device's, not the name's, so
// a program that opens the device by its own name finds it taken, named by its lock.
void tst_SerialChannel::lockIsTheResolvedDevices()
{
    QTemporaryDir directory;
    const QString link = directory.filePath(QStringLiteral("COM1"));
    QVERIFY(QFile::link(toQt(m_pty->slavePath()), link));
    SerialChannel channel(toStd(link));
    QCOMPARE(channel.open(), std::nullopt);

    const QString lockPath = lockFilePath(toQt(m_pty->slavePath()));
    QFile comm(QStringLiteral("/proc/self/comm"));
    QVERIFY(comm.open(QIODevice::ReadOnly));
    const PortFailure held =
        PortFailure::heldBy(long(QCoreApplication::applicationPid()),
                            toStd(QString::fromUtf8(comm.readLine().trimmed())), toStd(lockPath));
    SerialChannel other(m_pty->slavePath());
    QCOMPARE(other.open(), std::optional(held));
    QCOMPARE(channel.close(), std::nullopt);
    QVERIFY(!QFile::exists(lockPath));
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

    QCOMPARE(reasonOf(channel.output(toBytes(QByteArray::fromHex("0041")))), Reason::Disconnected);
    QVERIFY(!channel.portOpen());
    // Every later send says the same: the channel does not open the port again.
    for (int send = 0; send < 2; ++send)
        QCOMPARE(reasonOf(channel.output(toBytes(QByteArray::fromHex("0042")))), Reason::Disconnected);
    QCOMPARE(channel.close(), std::nullopt);
}

// The line has stopped before the frame: not a byte of it can go, so it is refused whole, and it never
// trails out later, glued to whatever comes next.
void tst_SerialChannel::stalledLineGivesUp()
{
    SerialChannel channel(m_pty->slavePath());
    QCOMPARE(channel.open(), std::nullopt);
    const qint64 filler = m_pty->fillUntilFull();
    QVERIFY(filler > 0);

    const QByteArray frame = QByteArray::fromHex("ABCD").repeated(127);
    QCOMPARE(reasonOf(channel.output(toBytes(frame))), Reason::Stalled);
    (void)channel.close(); // must come back too; whether it can say more is up to the device

    const QByteArray received = m_pty->read(int(filler) + frame.size(), 1000);
    QVERIFY(received.size() <= filler);
    QVERIFY(!received.contains('\xAB'));
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
            QCOMPARE(failure->reason, Reason::Stalled);
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
    QCOMPARE(channel.close(), std::optional(PortFailure::framesLost(1)));
    QVERIFY(!channel.portOpen());
    // Only that one: the blocks before it, which the pty holds out of the channel's sight, still
    // reach the reader.
    QVERIFY(n > 1);
    QVERIFY(m_pty->read((n - 1) * int(block.size()), 2000).size() >= (n - 1) * qsizetype(block.size()));
}

// The last bytes are in the adapter, which no longer answers: close still returns, releases the port and
// says that what was queued may not have gone out.
void tst_SerialChannel::closeIsBoundedWhenTheDrainHangs()
{
    SerialChannel channel(m_pty->slavePath());
    QCOMPARE(channel.open(), std::nullopt);
    QCOMPARE(channel.output(toBytes(QByteArray::fromHex("6C495B57"))), std::nullopt);
    {
        const std::lock_guard<std::mutex> lock(g_drain.mutex);
        g_drain.hangs = true;
    }
    std::future<SerialChannel::Failure> closed =
        std::async(std::launch::async, [&channel] { return channel.close(); });
    const auto release = qScopeGuard([] {
        {
            const std::lock_guard<std::mutex> lock(g_drain.mutex);
            g_drain.hangs = false;
        }
        g_drain.released.notify_all();
    });
    // Far longer than the bound: only a close that waits for the drain without one is still here.
    QCOMPARE(closed.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    QCOMPARE(closed.get(), std::optional(PortFailure::framesLost(0)));
    QVERIFY(!channel.portOpen());
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
    QCOMPARE(reasonOf(stopped.output(frame)), Reason::Stalled);
    QCOMPARE(stopped.mostQueued, qsizetype(2 * frame.size()));
    QCOMPARE(stopped.close(), std::optional(PortFailure::framesLost(2)));
}

void tst_SerialChannel::outputBeforeOpenFails()
{
    SerialChannel channel(m_pty->slavePath());
    QCOMPARE(reasonOf(channel.output(toBytes(QByteArray::fromHex("0041")))), Reason::NotOpen);
    QCOMPARE(m_pty->readPending(), QByteArray());
}

QTEST_GUILESS_MAIN(tst_SerialChannel)
#include "tst_serialchannel.moc"
