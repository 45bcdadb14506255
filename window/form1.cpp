// SPDX-License-Identifier: MIT
#include "form1.h"

#include "sendcommand.h"
#include "unicodeframe.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextDocument>

#include <algorithm>

namespace {

enum class Kind
{
    TextBox,
    Label,
    Button
};

// The window as it was designed: positions and sizes in twips (1440 to the inch), rows in tab order.
struct Control
{
    const char *name;
    Kind kind;
    int left, top, width, height;
    const char16_t *caption;
};

constexpr int kClientWidth = 8100;
constexpr int kClientHeight = 4935;

constexpr Control kControls[] = {
    {"Text1", Kind::TextBox, 2115, 360, 5355, 990, u""},
    {"Text2", Kind::TextBox, 2115, 1800, 5340, 1935, u""},
    {"Label4", Kind::Label, 180, 495, 1725, 240, u"输入需要转化输出的"},
    {"Label1", Kind::Label, 180, 765, 1725, 285, u"字母、数字或汉字："},
    {"Label3", Kind::Label, 180, 2025, 1815, 240, u"（串口数据监视窗口）"},
    {"Label2", Kind::Label, 405, 2295, 1275, 420, u"已从串口输出的Unicode码："},
    {"Command2", Kind::Button, 6615, 4050, 1215, 765, u"退出"},
    {"Command1", Kind::Button, 1845, 4050, 3030, 780,
     u"转换成Unicode码，并通过COM1串口以9600Bit/S输出给QM47T发给手机。"},
};

constexpr const char16_t *kCaption = u"汉字ASCII码 -> Unicode码转化器      （QM47T短信数传模块专用软件）";

// 15 twips make one pixel at 96 dpi; Qt's device-independent pixels scale that to the screen.
constexpr int toPixels(int twips)
{
    return twips / 15;
}

// The boxes were sized for a font with 12-pixel lines. Where the default font's lines are taller
// (CJK fallback fonts on Linux), a captioned control grows downwards rather than cut its caption.
int fittedHeight(const QLabel *caption, int captionWidth, int designedHeight, int margin)
{
    return std::max(designedHeight, caption->heightForWidth(captionWidth) + margin);
}

QWidget *createControl(const Control &control, QWidget *parent)
{
    const QString caption = QString::fromUtf16(control.caption);
    const int width = toPixels(control.width);
    int height = toPixels(control.height);
    QWidget *widget = nullptr;
    switch (control.kind) {
    case Kind::TextBox: {
        auto *box = new QPlainTextEdit(parent);
        box->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        // Tab moves on to the next control rather than typing a tab into the box.
        box->setTabChangesFocus(true);
        widget = box;
        break;
    }
    case Kind::Label: {
        auto *label = new QLabel(caption, parent);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setWordWrap(true);
        height = fittedHeight(label, width, height, 0);
        widget = label;
        break;
    }
    case Kind::Button: {
        auto *button = new QPushButton(parent);
        button->setAutoDefault(false);
        button->setAccessibleName(caption);
        // A push button never wraps its text, and this caption is far wider than the button:
        // a word-wrapped label on top carries it, letting the clicks through.
        constexpr int kPadding = 3;
        auto *text = new QLabel(caption, button);
        text->setObjectName(QString::fromLatin1(control.name) + QStringLiteral("Caption"));
        text->setAlignment(Qt::AlignCenter);
        text->setWordWrap(true);
        text->setAttribute(Qt::WA_TransparentForMouseEvents);
        height = fittedHeight(text, width - 2 * kPadding, height, kPadding);
        text->setGeometry(kPadding, 0, width - 2 * kPadding, height);
        widget = button;
        break;
    }
    }
    widget->setObjectName(QString::fromLatin1(control.name));
    widget->setGeometry(toPixels(control.left), toPixels(control.top), width, height);
    return widget;
}

} // namespace

Form1::Form1(const QString &portName, QWidget *parent)
    : QWidget(parent), m_channel(new SerialChannel(portName, this))
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromUtf16(kCaption));
    resize(toPixels(kClientWidth), toPixels(kClientHeight));
    createControls();
}

void Form1::createControls()
{
    QWidget *previous = nullptr;
    for (const Control &control : kControls) {
        QWidget *widget = createControl(control, this);
        if (widget->focusPolicy() == Qt::NoFocus)
            continue;
        if (previous)
            setTabOrder(previous, widget);
        previous = widget;
    }
    m_text1 = findChild<QPlainTextEdit *>(QStringLiteral("Text1"));
    m_text2 = findChild<QPlainTextEdit *>(QStringLiteral("Text2"));
    connect(findChild<QPushButton *>(QStringLiteral("Command1")), &QPushButton::clicked, this,
            &Form1::sendCommand);
    connect(findChild<QPushButton *>(QStringLiteral("Command2")), &QPushButton::clicked, this,
            &Form1::exitProgram);
    m_text1->setFocus();
}

bool Form1::load()
{
    if (const SerialChannel::Failure failure = m_channel->open()) {
        report(QMessageBox::Critical, QStringLiteral("无法打开串口 COM1：") + *failure);
        return false;
    }
    return true;
}

void Form1::sendCommand()
{
    // The monitor box takes the last text the command gives it, once, when the command is done:
    // nothing can see it in between, and emptying it first would cost a relayout before the frame
    // is even written.
    QString monitorText;
    const SendIo io{
        // The raw text: toPlainText() would turn no-break spaces into plain ones.
        [this] { return m_text1->document()->toRawText(); },
        [&monitorText](const QString &text) { monitorText = text; },
        [this](const QByteArray &frame) { return m_channel->output(frame); },
    };
    const std::optional<SendFailure> failure = SendCommand(io);
    m_text2->setPlainText(monitorText);
    if (!failure)
        return;

    switch (failure->kind) {
    case SendFailure::Kind::Empty:
        report(QMessageBox::Warning, QStringLiteral("请先输入需要转换的字母、数字或汉字。"));
        break;
    case SendFailure::Kind::TooLong:
        report(QMessageBox::Warning, QStringLiteral("输入内容过长：最多 %1 个 UTF-16 码元，当前为 %2 个。")
                                         .arg(kMaxCodeUnits)
                                         .arg(failure->codeUnits));
        break;
    case SendFailure::Kind::Output:
        report(QMessageBox::Critical, QStringLiteral("串口 COM1 写入失败：") + failure->reason);
        break;
    }
}

void Form1::exitProgram()
{
    const SerialChannel::Failure failure = m_channel->close();
    if (failure)
        report(QMessageBox::Critical, QStringLiteral("关闭串口 COM1 失败：") + *failure);
    QCoreApplication::exit(failure ? 1 : 0);
}

void Form1::report(QMessageBox::Icon icon, const QString &message)
{
    QMessageBox box(icon, windowTitle(), message, QMessageBox::Ok, isVisible() ? this : nullptr);
    box.exec();
}
