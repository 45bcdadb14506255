// SPDX-License-Identifier: MIT
// Ten thousand sends through the real click path in one process: every frame byte-exact on the line,
// the monitor right each time, and no memory growth from one send to the next.
#include "formonpty.h"

#include <QApplication>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QStringEncoder>
#include <QTest>
#include <QTimer>

namespace {

constexpr int kSends = 10000;
constexpr int kWarmUpSends = 100;
constexpr qint64 kAllowedGrowth = 1024 * 1024;

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() * ::sysconf(_SC_PAGESIZE) : -1;
}

// Texts as users type them: Chinese, ASCII, line breaks, and now and then the longest allowed. The
// Chinese come from a small repertoire that the first sends already cover, so the font's glyph cache
// (which grows with every character never drawn before, and is not ours) is warm when memory is
// first measured. Byte-exactness over the whole range of code units is the fuzzer's job.
QString randomText(QRandomGenerator &random)
{
    const int length = random.bounded(8) == 0 ? 127 : int(random.bounded(1, 128));
    QString text;
    while (text.size() < length) {
        switch (random.bounded(8)) {
        case 0:
            if (text.size() + 2 <= length)
                text += QStringLiteral("\r\n");
            break;
        case 1:
        case 2:
        case 3:
            text += QChar(char16_t(random.bounded(0x4E00, 0x4E40)));
            break;
        default:
            text += QChar(char16_t(random.bounded(0x20, 0x7F)));
        }
    }
    return text;
}

} // namespace

class tst_Soak : public QObject
{
    Q_OBJECT

private slots:
    void tenThousandSends();
};

void tst_Soak::tenThousandSends()
{
    FormOnPty window;
    QVERIFY(window.start());
    PtyPair &pty = window.pty;
    QPlainTextEdit *input = window.text("Text1");
    QPlainTextEdit *monitor = window.text("Text2");
    QPushButton *convert = window.button("Command1");

    // No send here should ever raise a message; if one does, close it and fail rather than hang.
    int unexpectedBoxes = 0;
    QTimer guard;
    connect(&guard, &QTimer::timeout, &guard, [&unexpectedBoxes] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            ++unexpectedBoxes;
            modal->close();
        }
    });
    guard.start(50);

    QRandomGenerator random(10000);
    QStringEncoder encoder(QStringEncoder::Utf16BE);
    qint64 warmResident = 0;
    for (int send = 1; send <= kSends; ++send) {
        const QString text = randomText(random);
        input->setPlainText(text);
        QTest::mouseClick(convert, Qt::LeftButton);

        const QByteArray expected = encoder.encode(text);
        const QByteArray received = pty.read(int(expected.size()));
        if (received != expected) {
            QFAIL(qPrintable(QStringLiteral("send %1: sent %2, expected %3")
                                 .arg(send)
                                 .arg(QString::fromLatin1(received.toHex(' ')),
                                      QString::fromLatin1(expected.toHex(' ')))));
        }
        QCOMPARE(monitor->toPlainText().size(), 1 + 3 * expected.size() + 1);
        // Between two clicks of a user the event loop runs: repaints, scroll-bar updates.
        QCoreApplication::processEvents();
        if (send == kWarmUpSends)
            warmResident = residentBytes();
    }
    QCOMPARE(unexpectedBoxes, 0);
    QCOMPARE(pty.readPending(), QByteArray());

#ifdef __SANITIZE_ADDRESS__
    QSKIP("AddressSanitizer holds freed memory back on purpose, so resident size means nothing here; "
          "the frames above were checked all the same");
#endif
    const qint64 finalResident = residentBytes();
    QVERIFY(warmResident > 0);
    QVERIFY2(finalResident - warmResident <= kAllowedGrowth,
             qPrintable(QStringLiteral("resident %1 KiB after %2 sends, %3 KiB after %4")
                            .arg(warmResident / 1024)
                            .arg(kWarmUpSends)
                            .arg(finalResident / 1024)
                            .arg(kSends)));
}

QTEST_MAIN(tst_Soak)
#include "tst_soak.moc"
