// SPDX-License-Identifier: MIT
#include "sendcommand.h"

#include "qtbridge.h"

#include <QTest>

#include <vector>

// Records what one send did, in order, so the tests can tell the frame left before the monitor
// changed and that a failure left no trace.
class tst_SendCommand : public QObject
{
    Q_OBJECT

private slots:
    void sends_data();
    void sends();
    void refuses_data();
    void refuses();
    void outputFailureLeavesMonitorEmpty();
};

namespace {

struct Recorder
{
    QString input;
    std::optional<QString> outputFailure;
    std::vector<QString> events;
    QString monitor = QStringLiteral("typed by the user");
    QList<QByteArray> written;

    SendIo io()
    {
        return SendIo{
            [this] {
                events.push_back(QStringLiteral("read"));
                return toStd(input);
            },
            [this](std::u16string text) {
                events.push_back(QStringLiteral("monitor:") + toQt(text));
                monitor = toQt(text);
            },
            [this](const UnicodeFrame &frame) {
                events.push_back(QStringLiteral("output"));
                written.append(toQt(frame));
                return outputFailure ? std::optional(toStd(*outputFailure)) : std::nullopt;
            },
        };
    }
};

} // namespace

void tst_SendCommand::sends_data()
{
    QTest::addColumn<QString>("rawInput");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("dump");

    QTest::newRow("A") << QStringLiteral("A") << QByteArray::fromHex("0041") << QStringLiteral("00 41 ");
    QTest::newRow("hanzi") << QStringLiteral("汉字") << QByteArray::fromHex("6C495B57")
                           << QStringLiteral("6C 49 5B 57 ");
    QTest::newRow("typed line break (paragraph)")
        << QStringLiteral("1\u2029") << QByteArray::fromHex("0031000D000A")
        << QStringLiteral("00 31 00 0D 00 0A ");
    QTest::newRow("127 with a line break counted as two")
        << QString(125, u'a') + QChar::ParagraphSeparator
        << QByteArray::fromHex(QByteArray("0061").repeated(125) + "000D000A")
        << QStringLiteral("00 61 ").repeated(125) + QStringLiteral("00 0D 00 0A ");
}

void tst_SendCommand::sends()
{
    QFETCH(QString, rawInput);
    QFETCH(QByteArray, frame);
    QFETCH(QString, dump);

    Recorder recorder;
    recorder.input = rawInput;
    QVERIFY(!SendCommand(recorder.io()));

    QCOMPARE(recorder.written, QList<QByteArray>{frame});
    const QString monitor = QStringLiteral("\r\n") + dump + QStringLiteral("\r\n");
    QCOMPARE(recorder.monitor, monitor);
    const std::vector<QString> order{QStringLiteral("monitor:"), QStringLiteral("read"),
                                     QStringLiteral("output"), QStringLiteral("monitor:") + monitor};
    QCOMPARE(recorder.events, order);
}

void tst_SendCommand::refuses_data()
{
    QTest::addColumn<QString>("rawInput");
    QTest::addColumn<SendFailure::Kind>("kind");
    QTest::addColumn<int>("codeUnits");

    QTest::newRow("empty") << QString() << SendFailure::Kind::Empty << 0;
    QTest::newRow("128") << QString(128, u'汉') << SendFailure::Kind::TooLong << 128;
    QTest::newRow("126 + a break = 128")
        << QString(126, u'a') + QChar::ParagraphSeparator << SendFailure::Kind::TooLong << 128;
    QTest::newRow("300") << QString(300, u'a') << SendFailure::Kind::TooLong << 300;
}

void tst_SendCommand::refuses()
{
    QFETCH(QString, rawInput);
    QFETCH(SendFailure::Kind, kind);
    QFETCH(int, codeUnits);

    Recorder recorder;
    recorder.input = rawInput;
    const std::optional<SendFailure> failure = SendCommand(recorder.io());

    QVERIFY(failure);
    QCOMPARE(failure->kind, kind);
    QCOMPARE(failure->codeUnits, static_cast<std::size_t>(codeUnits));
    QVERIFY(recorder.written.isEmpty());
    QCOMPARE(recorder.monitor, QString());
}

void tst_SendCommand::outputFailureLeavesMonitorEmpty()
{
    Recorder recorder;
    recorder.input = QStringLiteral("汉字");
    recorder.outputFailure = QStringLiteral("cable pulled");
    const std::optional<SendFailure> failure = SendCommand(recorder.io());

    QVERIFY(failure);
    QCOMPARE(failure->kind, SendFailure::Kind::Output);
    QCOMPARE(toQt(failure->reason), QStringLiteral("cable pulled"));
    QCOMPARE(recorder.written.size(), 1);
    QCOMPARE(recorder.monitor, QString());
}

QTEST_APPLESS_MAIN(tst_SendCommand)
#include "tst_sendcommand.moc"
