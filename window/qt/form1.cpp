// SPDX-License-Identifier: MIT
#include "form1.h"

#include "linebreaks.h"

#include <QAbstractButton>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextDocument>

#include <algorithm>

namespace {

using FormDesign::ControlKind;

constexpr int toPixels(int twips)
{
    // Qt's device-independent pixels scale the 96-dpi design to the screen.
    return FormDesign::toPixels(twips);
}

// The boxes were sized for a font with 12-pixel lines. Where the default font's lines are taller
// (CJK fallback fonts on Linux), a captioned control grows downwards rather than cut its caption.
int fittedHeight(const QLabel *caption, int captionWidth, int designedHeight, int margin)
{
    return std::max(designedHeight, caption->heightForWidth(captionWidth) + margin);
}

QWidget *createControl(const FormDesign::Control &control, QWidget *parent)
{
    const QString caption = QString::fromUtf16(control.caption);
    const int width = toPixels(control.width);
    int height = toPixels(control.height);
    QWidget *widget = nullptr;
    switch (control.kind) {
    case ControlKind::TextBox: {
        auto *box = new QPlainTextEdit(parent);
        box->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        // Tab moves on to the next control rather than typing a tab into the box.
        box->setTabChangesFocus(true);
        widget = box;
        break;
    }
    case ControlKind::Label: {
        auto *label = new QLabel(caption, parent);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setWordWrap(true);
        height = fittedHeight(label, width, height, 0);
        widget = label;
        break;
    }
    case ControlKind::Button: {
        auto *button = new QPushButton(parent);
        button->setAutoDefault(false);
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
    // The button's caption is a child label's, and a box's are the labels beside it: a screen reader
    // would find neither name on its own.
    if (control.kind != ControlKind::Label)
        widget->setAccessibleName(QString::fromStdU16String(FormDesign::accessibleName(control.name)));
    widget->setGeometry(toPixels(control.left), toPixels(control.top), width, height);
    return widget;
}

} // namespace

Form1::Form1(const std::u16string &portName, QWidget *parent)
    : QWidget(parent), m_controller(*this, portName)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromUtf16(FormDesign::kFormCaption));
    resize(toPixels(FormDesign::kClientWidth), toPixels(FormDesign::kClientHeight));
    createControls();
}

void Form1::createControls()
{
    QWidget *previous = nullptr;
    for (const FormDesign::Control &control : FormDesign::kControls) {
        QWidget *widget = createControl(control, this);
        if (widget->focusPolicy() == Qt::NoFocus)
            continue;
        if (previous)
            setTabOrder(previous, widget);
        previous = widget;
    }
    // Each label also says which box it stands for, so that AT-SPI links the two both ways.
    for (const FormDesign::Control &control : FormDesign::kControls) {
        if (control.labelFor)
            findChild<QLabel *>(QString::fromLatin1(control.name))
                ->setBuddy(findChild<QWidget *>(QString::fromLatin1(control.labelFor)));
    }
    m_input = findChild<QPlainTextEdit *>(QStringLiteral("Text1"));
    m_monitor = findChild<QPlainTextEdit *>(QStringLiteral("Text2"));
    connect(findChild<QPushButton *>(QStringLiteral("Command1")), &QPushButton::clicked, this,
            [this] { m_controller.convert(); });
    connect(findChild<QPushButton *>(QStringLiteral("Command2")), &QPushButton::clicked, this,
            [this] { m_controller.exit(); });
    m_input->setFocus();
}

void Form1::closeEvent(QCloseEvent *event)
{
    // The title bar's close leaves as Exit does, so that bytes still queued are not dropped unseen;
    // the window closing is what ends the program then.
    if (!m_quitting) {
        m_closing = true;
        m_controller.exit();
    }
    event->accept();
}

std::u16string Form1::inputText() const
{
    // The raw text: toPlainText() would turn no-break spaces into plain ones.
    return lineBreaksToCrLf(m_input->document()->toRawText().toStdU16String());
}

void Form1::setMonitorText(const std::u16string &text)
{
    m_monitor->setPlainText(QString::fromStdU16String(text));
}

void Form1::showMessage(const FormDesign::Message &message)
{
    const auto icon =
        message.severity == FormDesign::Severity::Warning ? QMessageBox::Warning : QMessageBox::Critical;
    QMessageBox box(icon, windowTitle(), QString::fromStdU16String(message.text), QMessageBox::Ok,
                    isVisible() ? this : nullptr);
    box.exec();
}

void Form1::quit(int exitCode)
{
    m_exitCode = exitCode;
    m_quitting = true;
    if (!m_closing)
        QCoreApplication::exit(exitCode);
}

bool HeldKeyFilter::eventFilter(QObject *watched, QEvent *event)
{
    const auto type = event->type();
    if ((type == QEvent::KeyPress || type == QEvent::KeyRelease) && qobject_cast<QAbstractButton *>(watched)) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Space) {
            if (type == QEvent::KeyRelease) {
                m_lastSpaceRelease = key->timestamp();
            } else if (key->isAutoRepeat() || (key->timestamp() != 0 && key->timestamp() == m_lastSpaceRelease)) {
                // The button is not pressed again, so the releases still to come click nothing.
                return true;
            }
        }
    }
    return QObject::eventFilter(watched, event);
}
