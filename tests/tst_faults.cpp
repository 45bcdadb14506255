// SPDX-License-Identifier: MIT
// What the user sees when the line misbehaves: a cable pulled mid-session, the port held by another
// program, a line that stops taking bytes, and leaving right after a send.
#include "form1.h"
#include "serialchannel.h"

#include "chineseui.h"
#include "messageboxes.h"
#include "ptypair.h"
#include "qtbridge.h"

#include <QEventLoop>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QStringEncoder>
#include <QTest>

#include <memory>

namespace {

QPushButton *button(Form1 &form, const char *name)
{
    return form.findChild<QPushButton *>(QString::fromLatin1(name));
}

QPlainTextEdit *box(Form1 &form, const char *name)
{
    return form.findChild<QPlainTextEdit *>(QString::fromLatin1(name));
}

QList<ShownBox> clickConvert(Form1 &form)
{
    return answerBoxes([&form] { QTest::mouseClick(button(form, "Command1"), Qt::LeftButton); });
}

} // namespace

class tst_Faults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void portHeldByAnotherProgram();
    void stalledLineGivesUp();
    void leavingRightAfterSendLosesNothing();
    // Last: it ends the event loop through the Exit button, after which no loop of this process runs.
    void cablePulledMidSession();
};

void tst_Faults::initTestCase()
{
    installChineseTranslations(*QCoreApplication::instance());
    QApplication::setQuitOnLastWindowClosed(false);
}

void tst_Faults::portHeldByAnotherProgram()
{
    PtyPair pty;
    QVERIFY(pty.isValid());
    SerialChannel otherProgram(pty.slavePath());
    QCOMPARE(otherProgram.open(), std::nullopt);

    Form1 form(pty.slavePath());
    bool loaded = true;
    const QList<ShownBox> boxes = answerBoxes([&] { loaded = form.load(); });
    QVERIFY(!loaded);
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes.first().icon, QMessageBox::Critical);
    // Its lock file names it: this very process, as the channel that holds the port is in it too.
    QCOMPARE(boxes.first().text,
             QStringLiteral("无法打开串口 COM1（%1）：串口正被另一个程序占用：进程 %2（tst_faults）。"
                            "请先关闭该程序，再启动本程序。如果该程序已经不在运行，删除锁文件 %3 后再试。")
                 .arg(toQt(pty.slavePath()))
                 .arg(QCoreApplication::applicationPid())
                 .arg(QStringLiteral("/run/lock/LCK..") + toQt(pty.slavePath()).mid(5).replace(u'/', u'_')));
}

void tst_Faults::stalledLineGivesUp()
{
    PtyPair pty;
    QVERIFY(pty.isValid());
    SerialChannel channel(pty.slavePath());
    QCOMPARE(channel.open(), std::nullopt);
    const qint64 filler = pty.fillUntilFull();
    QVERIFY(filler > 0);

    const QByteArray frame = QByteArray::fromHex("ABCD").repeated(127);
    const SerialChannel::Failure refused = channel.output(toBytes(frame));
    QVERIFY(refused);
    QCOMPARE(toQt(*refused), QStringLiteral("线路阻塞：串口已有一段时间没有送出任何数据，这次的内容没有发送。"
                                            "之前已发送的内容仍在排队，线路恢复后会完整送出。"));
    (void)channel.close(); // must come back too; whether it can say more is up to the device

    // The refused frame must not trail out later, glued to whatever comes next.
    const QByteArray received = pty.read(int(filler) + frame.size(), 1000);
    QVERIFY(received.size() <= filler);
    QVERIFY(!received.contains('\xAB'));
}

void tst_Faults::leavingRightAfterSendLosesNothing()
{
    QRandomGenerator random(200);
    for (int round = 0; round < 200; ++round) {
        PtyPair pty;
        QVERIFY(pty.isValid());
        pty.closeSlave();
        QString text;
        const int length = int(random.bounded(1, 128));
        for (int i = 0; i < length; ++i) {
            const bool hanzi = random.bounded(2);
            text += QChar(char16_t(hanzi ? random.bounded(0x4E00, 0x9FA6) : random.bounded(0x20, 0x7F)));
        }
        {
            Form1 form(pty.slavePath());
            QVERIFY(form.load());
            box(form, "Text1")->setPlainText(text);
            QVERIFY(clickConvert(form).isEmpty());
        } // the window goes, as when the program ends right after the click
        QVERIFY(pty.slaveReleased());
        const QByteArray expected = QStringEncoder(QStringEncoder::Utf16BE).encode(text);
        QCOMPARE(pty.read(2 * length + 1, 500).toHex(), expected.toHex());
    }
}

void tst_Faults::cablePulledMidSession()
{
    PtyPair pty;
    QVERIFY(pty.isValid());
    Form1 form(pty.slavePath());
    QVERIFY(form.load());
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));

    box(form, "Text1")->setPlainText(QStringLiteral("汉字"));
    QVERIFY(clickConvert(form).isEmpty());
    QCOMPARE(pty.read(4), QByteArray::fromHex("6C495B57"));

    pty.closeMaster();
    const QString prefix = QStringLiteral("串口 COM1（%1）写入失败：").arg(toQt(pty.slavePath()));
    const QList<ShownBox> first = clickConvert(form);
    QCOMPARE(first.size(), 1);
    QCOMPARE(first.first().icon, QMessageBox::Critical);
    const QString gone =
        prefix + QStringLiteral("串口设备已断开，可能是 USB 转串口线被拔出。请接好模块的线缆或 "
                                "USB 转串口线，然后重新启动本程序：程序不会自动重新打开串口。");
    QCOMPARE(first.first().text, gone);
    QCOMPARE(box(form, "Text2")->toPlainText(), QString());

    // Nothing more by itself while the user does nothing.
    QVERIFY(answerBoxes([] { QTest::qWait(300); }).isEmpty());

    // Later sends say the same, with what to do, once per click, and each clears the monitor box.
    for (int click = 0; click < 3; ++click) {
        box(form, "Text2")->setPlainText(QStringLiteral("earlier notes"));
        const QList<ShownBox> later = clickConvert(form);
        QCOMPARE(later.size(), 1);
        QCOMPARE(later.first().text, gone);
        QCOMPARE(box(form, "Text2")->toPlainText(), QString());
    }
    QVERIFY(form.isVisible());
    QCOMPARE(box(form, "Text1")->toPlainText(), QStringLiteral("汉字"));

    // And Exit still ends the program normally.
    QEventLoop loop;
    QTimer::singleShot(0, &form, [&form] { QTest::mouseClick(button(form, "Command2"), Qt::LeftButton); });
    QCOMPARE(loop.exec(), 0);
}

QTEST_MAIN(tst_Faults)
#include "tst_faults.moc"
