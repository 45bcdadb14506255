// SPDX-License-Identifier: MIT
#include "unicodeframe.h"

#include "qtbridge.h"

#include <QRandomGenerator>
#include <QStringEncoder>
#include <QTest>

class tst_UnicodeFrame : public QObject
{
    Q_OBJECT

private slots:
    void framesText_data();
    void framesText();
    void refusesLength_data();
    void refusesLength();
    void dumpsFrame_data();
    void dumpsFrame();
    void matchesIndependentEncoder();
};

namespace {

QString repeated(QChar unit, int count)
{
    return QString(count, unit);
}

} // namespace

void tst_UnicodeFrame::framesText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("frame");

    QTest::newRow("one letter") << QStringLiteral("A") << QByteArray::fromHex("0041");
    QTest::newRow("two hanzi") << QStringLiteral("汉字") << QByteArray::fromHex("6C495B57");
    QTest::newRow("digit and CR LF") << QStringLiteral("1\r\n") << QByteArray::fromHex("0031000D000A");
    QTest::newRow("NUL") << QString(QChar(0)) << QByteArray::fromHex("0000");
    QTest::newRow("no-break space") << QStringLiteral("\u00A0") << QByteArray::fromHex("00A0");
    QTest::newRow("BOM is data, not a marker") << QStringLiteral("\uFEFF") << QByteArray::fromHex("FEFF");
    QTest::newRow("astral: two surrogates")
        << QString::fromUcs4(U"\U0001F600") << QByteArray::fromHex("D83DDE00");
    QTest::newRow("lone low surrogate") << QString(QChar(0xDC00)) << QByteArray::fromHex("DC00");
    QTest::newRow("127 code units, the longest")
        << repeated(u'字', 127) << QByteArray::fromHex(QByteArray("5B57").repeated(127));
    QTest::newRow("126 astral units + 1")
        << QString::fromUcs4(U"\U0001F600").repeated(63) + u'x'
        << QByteArray::fromHex(QByteArray("D83DDE00").repeated(63) + "0078");
}

void tst_UnicodeFrame::framesText()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, frame);
    QCOMPARE(toQt(BuildUnicodeFrame(toStd(text))), frame);
}

// Each byte-wide check on its own: the frame's last index (empty, 129-255), the fill counter (128)
// and the length itself (256 and more, where 2*L - 1 would wrap back into range).
void tst_UnicodeFrame::refusesLength_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("empty") << QString();
    QTest::newRow("128: counter passes 255") << repeated(u'a', 128);
    QTest::newRow("64 astral = 128 units") << QString::fromUcs4(U"\U0001F600").repeated(64);
    QTest::newRow("129: last index 257") << repeated(u'a', 129);
    QTest::newRow("255") << repeated(u'a', 255);
    QTest::newRow("256: length itself") << repeated(u'a', 256);
    QTest::newRow("384: 2*L - 1 = 767, 255 in a byte") << repeated(u'a', 384);
    QTest::newRow("100000") << repeated(u'a', 100000);
}

void tst_UnicodeFrame::refusesLength()
{
    QFETCH(QString, text);
    try {
        const UnicodeFrame frame = BuildUnicodeFrame(toStd(text));
        QFAIL(qPrintable(
            QStringLiteral("framed %1 code units into %2 bytes").arg(text.size()).arg(frame.size())));
    } catch (const OverflowError &error) {
        QCOMPARE(error.codeUnits(), static_cast<std::size_t>(text.size()));
    }
}

void tst_UnicodeFrame::dumpsFrame_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("dump");

    QTest::newRow("empty frame") << QByteArray() << QString();
    QTest::newRow("00 41") << QByteArray::fromHex("0041") << QStringLiteral("00 41 ");
    QTest::newRow("hanzi") << QByteArray::fromHex("6C495B57") << QStringLiteral("6C 49 5B 57 ");
    QTest::newRow("padding below 16") << QByteArray::fromHex("000A0F10") << QStringLiteral("00 0A 0F 10 ");
    QTest::newRow("uppercase, top values") << QByteArray::fromHex("ABFF") << QStringLiteral("AB FF ");
}

void tst_UnicodeFrame::dumpsFrame()
{
    QFETCH(QByteArray, frame);
    QFETCH(QString, dump);
    QCOMPARE(toQt(FormatMonitorDump(toBytes(frame))), dump);
}

// Frame and dump against Qt's own UTF-16BE encoder over random texts rich in awkward code units.
void tst_UnicodeFrame::matchesIndependentEncoder()
{
    static const char16_t kAwkward[] = {0x0000, 0x000D, 0x000A, 0x00A0, 0xFEFF, 0xFFFF, 0xD83D,
                                        0xDE00, 0xDC00, 0x6C49, 0x0041, 0x00FF, 0x0100, 0x7F00};
    QRandomGenerator random(47);
    for (int round = 0; round < 4000; ++round) {
        const int length = static_cast<int>(random.bounded(1, kMaxCodeUnits + 1));
        QString text;
        for (int i = 0; i < length; ++i) {
            text += random.bounded(2) ? QChar(kAwkward[random.bounded(int(std::size(kAwkward)))])
                                      : QChar(static_cast<char16_t>(random.bounded(0x10000)));
        }
        QStringEncoder encoder(QStringEncoder::Utf16BE, QStringEncoder::Flag::Stateless);
        const QByteArray expected = encoder.encode(text);

        const QByteArray frame = toQt(BuildUnicodeFrame(toStd(text)));
        QCOMPARE(frame, expected);
        const QString dump = toQt(FormatMonitorDump(toBytes(frame)));
        QCOMPARE(dump.size(), 3 * frame.size());
        QCOMPARE(QByteArray::fromHex(dump.toLatin1()), frame);
    }
}

QTEST_APPLESS_MAIN(tst_UnicodeFrame)
#include "tst_unicodeframe.moc"
