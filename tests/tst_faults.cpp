// SPDX-License-Identifier: MIT
// What the user sees when the line misbehaves under the window: a cable pulled mid-session, and
// leaving right after a send. The channel's own faults are in tst_serialchannel.
#include "chineseui.h"
#include "formonpty.h"
#include "qtbridge.h"

#include <QRandomGenerator>
#include <QStringEncoder>
#include <QTest>

class tst_Faults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cablePulledMidSession();
    void leavingRightAfterSendLosesNothing();
};

void tst_Faults::initTestCase()
{
    installChineseTranslations(*QCoreApplication::instance());
    QApplication::setQuitOnLastWindowClosed(false);
}

void tst_Faults::leavingRightAfterSendLosesNothing()
{
    QRandomGenerator random(200);
    for (int round = 0; round < 200; ++round) {
        FormOnPty window;
        QVERIFY(window.pty.isValid());
        window.pty.closeSlave();
        QString text;
        const int length = int(random.bounded(1, 128));
        for (int i = 0; i < length; ++i) {
            const bool hanzi = random.bounded(2);
            text += QChar(char16_t(hanzi ? random.bounded(0x4E00, 0x9FA6) : random.bounded(0x20, 0x7F)));
        }
        QVERIFY(window.form->load());
        window.text("Text1")->setPlainText(text);
        QVERIFY(window.click("Command1").isEmpty());
        window.form.reset(); // the window goes, as when the program ends right after the click
        QVERIFY(window.pty.slaveReleased());
        const QByteArray expected = QStringEncoder(QStringEncoder::Utf16BE).encode(text);
        QCOMPARE(window.pty.read(2 * length + 1, 500).toHex(), expected.toHex());
    }
}

void tst_Faults::cablePulledMidSession()
{
    FormOnPty window;
    QVERIFY(window.start());

    window.text("Text1")->setPlainText(QStringLiteral("汉字"));
    QVERIFY(window.click("Command1").isEmpty());
    QCOMPARE(window.pty.read(4), QByteArray::fromHex("6C495B57"));

    window.pty.closeMaster();
    // The words are the controller's to test: here, that the window says the device has gone.
    const SendFailure gone{SendFailure::Kind::Output, 2, PortFailure{PortFailure::Reason::Disconnected}};
    const QString message = toQt(FormDesign::sendFailureMessage(gone, window.pty.slavePath()).text);
    const QList<ShownBox> first = window.click("Command1");
    QCOMPARE(first.size(), 1);
    QCOMPARE(first.first().icon, QMessageBox::Critical);
    QCOMPARE(first.first().text, message);
    QCOMPARE(window.text("Text2")->toPlainText(), QString());

    // Nothing more by itself while the user does nothing.
    QVERIFY(answerBoxes([] { QTest::qWait(300); }).isEmpty());

    // Later sends say the same, with what to do, once per click, and each clears the monitor box.
    for (int click = 0; click < 3; ++click) {
        window.text("Text2")->setPlainText(QStringLiteral("earlier notes"));
        const QList<ShownBox> later = window.click("Command1");
        QCOMPARE(later.size(), 1);
        QCOMPARE(later.first().text, message);
        QCOMPARE(window.text("Text2")->toPlainText(), QString());
    }
    QVERIFY(window.form->isVisible());
    QCOMPARE(window.text("Text1")->toPlainText(), QStringLiteral("汉字"));

    // And Exit still ends the program normally.
    QCOMPARE(window.exitAfterClicking("Command2"), 0);
}

QTEST_MAIN(tst_Faults)
#include "tst_faults.moc"
