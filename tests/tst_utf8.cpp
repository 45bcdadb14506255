// SPDX-License-Identifier: MIT
// The UTF-8 the system hands over (process names, its messages) read as the channel's UTF-16, and
// the way back for the paths it is given.
#include "utf8.h"

#include "qtbridge.h"

#include <QTest>

#include <utility>

class tst_Utf8 : public QObject
{
    Q_OBJECT

private slots:
    void decodes_data();
    void decodes();
    void encoderReplacesLoneSurrogates();
};

void tst_Utf8::decodes_data()
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

void tst_Utf8::decodes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    const std::u16string decoded = fromUtf8(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    QCOMPARE(toQt(decoded), text);
    // And the way back, for text that was well-formed.
    if (!text.contains(QChar(0xFFFD)))
        QCOMPARE(QByteArray::fromStdString(toUtf8(decoded)), bytes);
}

void tst_Utf8::encoderReplacesLoneSurrogates()
{
    // (text, what the system must be handed) A lone surrogate becomes U+FFFD, never invalid UTF-8.
    const std::pair<std::u16string, QByteArray> cases[] = {
        {u"a\xD800", QByteArray::fromHex("61EFBFBD")},
        {u"\xDC00"
         u"a",
         QByteArray::fromHex("EFBFBD61")},
        {u"\xD800\xD800\xDC00", QByteArray::fromHex("EFBFBDF0908080")},
        {u"\xDBFF\xDFFF", QByteArray::fromHex("F48FBFBF")},
    };
    for (const auto &[text, bytes] : cases)
        QCOMPARE(QByteArray::fromStdString(toUtf8(text)).toHex(' '), bytes.toHex(' '));
}

QTEST_APPLESS_MAIN(tst_Utf8)
#include "tst_utf8.moc"
