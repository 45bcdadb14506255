// SPDX-License-Identifier: MIT
#include "serialchannel.h"

#include "ptypair.h"
#include "qtbridge.h"

#include <QTest>

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
    void openMissingDeviceFails();
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
    // Only the name: the real port is never opened here.
    QCOMPARE(toQt(SerialChannel::com1PortName()), QStringLiteral("/dev/ttyS0"));
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

void tst_SerialChannel::openMissingDeviceFails()
{
    SerialChannel channel(u"/nonexistent/qm47t-port");
    const SerialChannel::Failure failure = channel.open();
    QVERIFY(failure);
    QVERIFY(!failure->empty());
    QVERIFY(!channel.portOpen());
}

void tst_SerialChannel::outputBeforeOpenFails()
{
    SerialChannel channel(m_pty->slavePath());
    QCOMPARE(channel.output(toBytes(QByteArray::fromHex("0041"))), SerialChannel::Failure(u"串口未打开"));
    QCOMPARE(m_pty->readPending(), QByteArray());
}

QTEST_GUILESS_MAIN(tst_SerialChannel)
#include "tst_serialchannel.moc"
