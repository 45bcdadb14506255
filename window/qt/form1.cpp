// SPDX-License-Identifier: MIT
#include "form1.h"

#include "linebreaks.h"

#include <QAbstractButton>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTextDocument>

#include <algorithm>
#include <cstdio>

namespace {

using FormDesign::ControlKind;

constexpr char kAnnouncementName[] = "Announcement";

// The announcement widget is a notification to a screen reader, a role no Qt widget has.
QAccessibleInterface *announcementAccessible(const QString &, QObject *object)
{
    if (object->isWidgetType() && object->objectName() == QLatin1String(kAnnouncementName))
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::Notification);
    return nullptr;
}

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

Form1::Form1(std::u16string portName, QWidget *parent) : QWidget(parent), FormWindow(std::move(portName))
{
    setObjectName(QStringLiteral("Form1"));
    QAccessible::installFactory(announcementAccessible);
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
    // No label is made a box's buddy: AT-SPI would then carry one "labelled by" relation per label,
    // and Orca reads only the first relation's label in place of the box's name, half of the
    // two-line label. Without one it reads the box's accessible name, both lines.
    m_input = findChild<QPlainTextEdit *>(QStringLiteral("Text1"));
    m_monitor = findChild<QPlainTextEdit *>(QStringLiteral("Text2"));
    connect(findChild<QPushButton *>(QStringLiteral("Command1")), &QPushButton::clicked, this,
            [this] { m_controller.convert(); });
    connect(findChild<QPushButton *>(QStringLiteral("Command2")), &QPushButton::clicked, this,
            [this] { m_controller.exit(); });
    m_input->setFocus();
    // Shown for a moment after each send, hidden again once the focus moves, so that the
    // accessibility tree holds no stale news.
    m_announcement = new QWidget(this);
    m_announcement->setObjectName(QString::fromLatin1(kAnnouncementName));
    m_announcement->setGeometry(0, 0, 0, 0);
    m_announcement->hide();
    connect(qApp, &QApplication::focusChanged, m_announcement, &QWidget::hide);
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

void Form1::announce(const std::u16string &text)
{
    // Qt 6.4 has no announcement (QAccessibleAnnouncementEvent came in 6.8), and Orca 43 cannot take
    // a changed description or name of the focused button from it: Qt 6.4 sends the object in place
    // of the new text. A notification that becomes visible Orca speaks wherever the focus is.
    m_announcement->hide();
    m_announcement->setAccessibleName(QString::fromStdU16String(text));
    m_announcement->show();
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
        emit quitRequested(exitCode);
}

int Form1::leave()
{
    if (const std::optional<FormDesign::Message> lost = m_controller.leave()) {
        std::fprintf(stderr, "%s\n", QString::fromStdU16String(lost->text).toUtf8().constData());
        m_exitCode = 1;
    }
    m_quitting = true;
    return m_exitCode;
}

void Form1::watchLine(bool pending)
{
    // The port is claimed once, for the window's life: one notifier on its descriptor serves.
    if (!m_lineReady && pending) {
        m_lineReady =
            new QSocketNotifier(m_controller.channel().pendingHandle(), QSocketNotifier::Write, this);
        connect(m_lineReady, &QSocketNotifier::activated, this, [this] { m_controller.pushPending(); });
    }
    if (m_lineReady)
        m_lineReady->setEnabled(pending);
}

bool HeldKeyFilter::eventFilter(QObject *watched, QEvent *event)
{
    const auto type = event->type();
    if ((type == QEvent::KeyPress || type == QEvent::KeyRelease) &&
        qobject_cast<QAbstractButton *>(watched)) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Space) {
            if (type == QEvent::KeyRelease) {
                m_lastSpaceRelease = key->timestamp();
            } else if (key->isAutoRepeat() ||
                       (key->timestamp() != 0 && key->timestamp() == m_lastSpaceRelease)) {
                // The button is not pressed again, so the releases still to come click nothing.
                return true;
            }
        }
    }
    return QObject::eventFilter(watched, event);
}
