// SPDX-License-Identifier: MIT
#include "form1.h"

#include "chineseui.h"
#include "formdesign.h"
#include "linebreaks.h"
#include "formonpty.h"
#include "qtbridge.h"

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QStringEncoder>
#include <QTest>

#include <memory>

class tst_Form1 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void window();
    void controls_data();
    void controls();
    void controlsFitAndDoNotOverlap();
    void enlargingMovesNothing();
    void qtOwnTextsInChinese();
    void lineBreaks_data();
    void lineBreaks();
    void heldSpaceClicksOnce_data();
    void heldSpaceClicksOnce();
    void sendIsShownAndAnnounced();
    void refusesAndGoesOn_data();
    void refusesAndGoesOn();
    void missingPortIsReported();
    void leavingRightAfterSendLosesNothing();

private:
    // What the window shows: the screen reader's announcement is there only after a send.
    QWidgetList shownControls() const
    {
        QWidgetList shown = m_form->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
        shown.removeIf([](const QWidget *child) { return child->isHidden(); });
        return shown;
    }
    // What a screen reader is told of the last send: the window's notification, if it has one.
    QAccessibleInterface *notification() const
    {
        QAccessibleInterface *form = QAccessible::queryAccessibleInterface(m_form);
        for (int i = 0; i < form->childCount(); ++i) {
            if (form->child(i)->role() == QAccessible::Notification)
                return form->child(i);
        }
        return nullptr;
    }

    std::unique_ptr<FormOnPty> m_window;
    Form1 *m_form = nullptr; // m_window's
};

void tst_Form1::initTestCase()
{
    // Tests close and destroy windows one after another; the real program's quit on the last
    // window would end the message-box loops of the tests that follow.
    QApplication::setQuitOnLastWindowClosed(false);
    installChineseTranslations(*QCoreApplication::instance());
}

void tst_Form1::init()
{
    m_window = std::make_unique<FormOnPty>();
    m_form = m_window->form.get();
    QVERIFY(m_window->start());
}

void tst_Form1::cleanup()
{
    m_window.reset();
}

void tst_Form1::window()
{
    QCOMPARE(m_form->windowTitle(),
             QStringLiteral("汉字ASCII码 -> Unicode码转化器      （QM47T短信数传模块专用软件）"));
    QCOMPARE(m_form->size(), QSize(FormDesign::toPixels(FormDesign::kClientWidth),
                                   FormDesign::toPixels(FormDesign::kClientHeight)));
    QVERIFY(m_form->windowFlags() & Qt::WindowMaximizeButtonHint);
    QVERIFY(m_form->windowFlags() & Qt::WindowMinimizeButtonHint);
}

// Every caption the window shows, and what a screen reader calls each control: the words are the
// requirement, so they are written out here; where each control goes is the design table's.
void tst_Form1::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("spoken"); // what a screen reader calls it

    // A label or a button is called by its caption.
    const auto row = [](const char *name, const QString &caption, QString spoken = {}) {
        QTest::newRow(name) << QString::fromLatin1(name) << caption << (spoken.isNull() ? caption : spoken);
    };
    row("Text1", QString(), QStringLiteral("输入需要转化输出的字母、数字或汉字："));
    row("Text2", QString(), QStringLiteral("（串口数据监视窗口）已从串口输出的Unicode码："));
    row("Label4", QStringLiteral("输入需要转化输出的"));
    row("Label1", QStringLiteral("字母、数字或汉字："));
    row("Label3", QStringLiteral("（串口数据监视窗口）"));
    row("Label2", QStringLiteral("已从串口输出的Unicode码："));
    row("Command2", QStringLiteral("退出"));
    row("Command1", QStringLiteral("转换成Unicode码，并通过COM1串口以9600Bit/S输出给QM47T发给手机。"));
}

void tst_Form1::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QString, spoken);

    QRect rect; // where the design puts it, in pixels
    for (const FormDesign::Control &control : FormDesign::kControls) {
        if (name == QLatin1String(control.name))
            rect.setRect(FormDesign::toPixels(control.left), FormDesign::toPixels(control.top),
                         FormDesign::toPixels(control.width), FormDesign::toPixels(control.height));
    }
    QVERIFY(rect.isValid());
    QWidget *widget = m_form->findChild<QWidget *>(name);
    QVERIFY(widget);
    QVERIFY(widget->isVisible());
    if (auto *box = qobject_cast<QPlainTextEdit *>(widget)) {
        QCOMPARE(box->geometry(), rect);
        QVERIFY(box->toPlainText().isEmpty());
        QVERIFY(!box->isReadOnly());
        QCOMPARE(box->lineWrapMode(), QPlainTextEdit::WidgetWidth);
        QCOMPARE(box->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(box->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        // Orca reads the first "labelled by" relation's label in place of the name, and AT-SPI has
        // one relation per label: with none, the name below is read, both label lines.
        QCOMPARE(QAccessible::queryAccessibleInterface(box)->relations(QAccessible::Label).size(), 0);
    } else if (auto *label = qobject_cast<QLabel *>(widget)) {
        QCOMPARE(label->text(), caption);
        QVERIFY(label->wordWrap());
        QVERIFY(label->alignment() & Qt::AlignLeft);
        // Placed as designed; only ever taller, so that the whole caption shows.
        QCOMPARE(label->pos(), rect.topLeft());
        QCOMPARE(label->width(), rect.width());
        QVERIFY(label->height() >= rect.height());
        QVERIFY(label->height() >= label->heightForWidth(label->width()));
    } else {
        auto *push = qobject_cast<QPushButton *>(widget);
        QVERIFY(push);
        QCOMPARE(push->pos(), rect.topLeft());
        QCOMPARE(push->width(), rect.width());
        QVERIFY(push->height() >= rect.height());
        QVERIFY(!push->isDefault());
        QVERIFY(!push->autoDefault());
        auto *shown = push->findChild<QLabel *>();
        QVERIFY(shown);
        QCOMPARE(shown->text(), caption);
        QVERIFY(shown->wordWrap());
        // The caption wraps inside the button and shows in full.
        QVERIFY(shown->heightForWidth(shown->width()) <= shown->height());
        QVERIFY(push->rect().contains(shown->geometry()));
    }
    QCOMPARE(QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name), spoken);
}

// Controls that grew for a tall font must still fit the window and keep clear of each other.
void tst_Form1::controlsFitAndDoNotOverlap()
{
    const QWidgetList children = shownControls();
    QCOMPARE(children.size(), 8);
    for (const QWidget *child : children) {
        QVERIFY2(m_form->rect().contains(child->geometry()), qPrintable(child->objectName()));
        for (const QWidget *other : children) {
            if (other != child)
                QVERIFY2(!child->geometry().intersects(other->geometry()),
                         qPrintable(child->objectName() + u'/' + other->objectName()));
        }
    }
}

void tst_Form1::enlargingMovesNothing()
{
    QHash<QString, QRect> before;
    const QWidgetList children = shownControls();
    for (const QWidget *child : children)
        before.insert(child->objectName(), child->geometry());
    QCOMPARE(before.size(), 8);

    m_form->resize(1000, 700);
    QTest::qWait(20);
    for (const QWidget *child : children)
        QCOMPARE(child->geometry(), before.value(child->objectName()));
}

void tst_Form1::qtOwnTextsInChinese()
{
    const std::unique_ptr<QMenu> menu(m_window->text("Text1")->createStandardContextMenu());
    QStringList entries;
    for (const QAction *action : menu->actions())
        entries << action->text();
    const QString all = entries.join(u'|');
    QVERIFY2(all.contains(QStringLiteral("复制")) && all.contains(QStringLiteral("粘贴")), qPrintable(all));
}

// Qt's document keeps every line break as a paragraph break, so the Linux program sends each one as
// CR LF, whatever it was pasted as; the Windows program sends what its box holds.
void tst_Form1::lineBreaks_data()
{
    QTest::addColumn<QString>("raw");
    QTest::addColumn<QString>("wire");

    QTest::newRow("paragraph separator") << QStringLiteral("1\u20292") << QStringLiteral("1\r\n2");
    QTest::newRow("line separator") << QStringLiteral("1\u20282") << QStringLiteral("1\r\n2");
    QTest::newRow("bare LF") << QStringLiteral("1\n") << QStringLiteral("1\r\n");
    QTest::newRow("CR LF stays one pair") << QStringLiteral("1\r\n2") << QStringLiteral("1\r\n2");
    QTest::newRow("lone CR is a line break") << QStringLiteral("1\r2") << QStringLiteral("1\r\n2");
    QTest::newRow("CR CR LF") << QStringLiteral("1\r\r\n2") << QStringLiteral("1\r\n\r\n2");
    QTest::newRow("trailing lone CR") << QStringLiteral("1\r") << QStringLiteral("1\r\n");
    QTest::newRow("empty lines") << QStringLiteral("\u2029\u2029") << QStringLiteral("\r\n\r\n");
    QTest::newRow("NBSP, tab, lone surrogate kept")
        << QStringLiteral("a\u00A0\tb") + QChar(0xD800) << QStringLiteral("a\u00A0\tb") + QChar(0xD800);
}

void tst_Form1::lineBreaks()
{
    QFETCH(QString, raw);
    QFETCH(QString, wire);
    QCOMPARE(toQt(lineBreaksToCrLf(toStd(raw))), wire);
}

// Key events as X11 delivers Space held on a button: auto-repeat is a release and a press with the
// same timestamp, which Qt marks as repeats only when both have reached it when it reads the release.
void tst_Form1::heldSpaceClicksOnce_data()
{
    QTest::addColumn<QList<int>>("events"); // timestamps: positive a press, negative a release
    QTest::addColumn<bool>("repeatsMarked");
    QTest::addColumn<int>("frames");

    QTest::newRow("tap") << QList<int>{100, -180} << false << 1;
    QTest::newRow("two taps") << QList<int>{100, -180, 400, -470} << false << 2;
    QTest::newRow("held, repeats unmarked")
        << QList<int>{100, -600, 600, -650, 650, -700, 700, -2100} << false << 1;
    QTest::newRow("held, repeats marked") << QList<int>{100, -600, 600, -650, 650, -2100} << true << 1;
}

void tst_Form1::heldSpaceClicksOnce()
{
    QFETCH(QList<int>, events);
    QFETCH(bool, repeatsMarked);
    QFETCH(int, frames);

    HeldKeyFilter filter;
    qApp->installEventFilter(&filter);
    m_window->text("Text1")->setPlainText(QStringLiteral("A"));
    QPushButton *convert = m_window->button("Command1");
    convert->setFocus();
    for (qsizetype i = 0; i < events.size(); ++i) {
        const int stamp = events[i];
        const bool repeat = repeatsMarked && i > 0 && i + 1 < events.size() &&
                            std::abs(stamp) == std::abs(events[stamp < 0 ? i + 1 : i - 1]);
        QKeyEvent key(stamp > 0 ? QEvent::KeyPress : QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier,
                      QStringLiteral(" "), repeat);
        key.setTimestamp(static_cast<quint64>(std::abs(stamp)));
        QApplication::sendEvent(convert, &key);
    }
    qApp->removeEventFilter(&filter);

    QCOMPARE(m_window->pty.read(2 * frames + 1, 300), QByteArray::fromHex("0041").repeated(frames));
}

// What goes out for each kind of input is the end-to-end tests' (both programs); this is the Qt
// window showing a send: the frame, the dump, the input left alone, and the screen reader told.
void tst_Form1::sendIsShownAndAnnounced()
{
    // keyClicks cannot carry non-Latin-1 text; a key event with the text is what an input method
    // delivers in the end.
    QTest::sendKeyEvent(QTest::KeyAction::Click, m_window->text("Text1"), Qt::Key_unknown,
                        QStringLiteral("汉字"), Qt::NoModifier);
    m_window->text("Text2")->setPlainText(QStringLiteral("earlier notes"));

    QVERIFY(m_window->click("Command1").isEmpty());

    QCOMPARE(m_window->pty.read(5, 300), QByteArray::fromHex("6C495B57"));
    // CR LF, the dump, CR LF: an empty first line, the dump, then a line break.
    QCOMPARE(m_window->text("Text2")->toPlainText(), QStringLiteral("\n6C 49 5B 57 \n"));
    QCOMPARE(m_window->text("Text1")->toPlainText(), QStringLiteral("汉字"));
    // The focus stays on the button, so a screen reader is told by a notification that shows (Orca
    // speaks it), until the focus moves on.
    QAccessibleInterface *told = notification();
    QVERIFY(told);
    QCOMPARE(told->text(QAccessible::Name), QStringLiteral("已发送 4 字节"));
    QVERIFY(!told->state().invisible);
    m_window->text("Text1")->setFocus();
    QVERIFY(told->state().invisible);
}

void tst_Form1::refusesAndGoesOn_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("message");

    // Every wording is the controller's to test; this is the Qt box showing it, and the window going on.
    QTest::newRow("empty") << QString() << QStringLiteral("请先输入需要转换的字母、数字或汉字。");
    QTest::newRow("127 + line break = 129")
        << QString(127, u'a') + u'\n'
        << QStringLiteral(
               "输入内容过长，未发送：最多 127 个字符，现有 129 个（换行和表情符号等少数字符各算 2 个）。"
               "请删减后再发送。");
}

void tst_Form1::refusesAndGoesOn()
{
    QFETCH(QString, input);
    QFETCH(QString, message);

    m_window->text("Text1")->setPlainText(input);
    m_window->text("Text2")->setPlainText(QStringLiteral("earlier notes"));
    const QList<ShownBox> boxes = m_window->click("Command1");

    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes.first().icon, QMessageBox::Warning);
    QCOMPARE(boxes.first().text, message);
    QCOMPARE(boxes.first().buttonText, QStringLiteral("确定"));
    QCOMPARE(m_window->pty.readPending(), QByteArray());
    QCOMPARE(m_window->text("Text2")->toPlainText(), QString());
    QCOMPARE(m_window->text("Text1")->toPlainText(), input);

    // Still usable: the next send goes out.
    m_window->text("Text1")->setPlainText(QStringLiteral("A"));
    QVERIFY(m_window->click("Command1").isEmpty());
    QCOMPARE(m_window->pty.read(3, 300), QByteArray::fromHex("0041"));
}

void tst_Form1::missingPortIsReported()
{
    Form1 form(u"/nonexistent/qm47t-port");
    bool loaded = true;
    const QList<ShownBox> boxes = answerBoxes([&] { loaded = form.load(); });
    QVERIFY(!loaded);
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes.first().icon, QMessageBox::Critical);
    // The words are the controller's to test; this is the Qt box showing them.
    const PortFailure missing{PortFailure::Reason::NoDevice};
    QCOMPARE(boxes.first().text,
             toQt(FormDesign::openFailureMessage(u"/nonexistent/qm47t-port", missing).text));
}

// The window goes right after a click, as when the program ends then: every byte of the frame still
// reaches the line, and the port is released.
void tst_Form1::leavingRightAfterSendLosesNothing()
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

QTEST_MAIN(tst_Form1)
#include "tst_form1.moc"
