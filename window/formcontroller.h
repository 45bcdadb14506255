// SPDX-License-Identifier: MIT
#pragma once

#include "formdesign.h"
#include "sendcommand.h"

#include <optional>
#include <string>
#include <utility>

// What the window's behaviour asks of the window itself. Each front end's Form1 is one; tests
// stand in for it.
class FormView
{
public:
    // The input box's text as it goes out, code unit for code unit: a line break is CR LF where the
    // box holds it so (Enter in a Windows edit control) or where the toolkit cannot keep it as it
    // was pasted (Qt); any other code unit is sent as the box holds it.
    virtual std::u16string inputText() const = 0;
    virtual void setMonitorText(const std::u16string &text) = 0;
    // Tells a screen reader's user what a click did, without moving the focus.
    virtual void announce(const std::u16string &) {}
    // Returns once the user has answered the message. The toolkit may run other events meanwhile.
    virtual void showMessage(const FormDesign::Message &message) = 0;
    // Ends the program with `exitCode` once the current event has been handled.
    virtual void quit(int exitCode) = 0;
    // Whether the channel holds back part of a frame for a line that stopped in the middle of it.
    // While it does, the view calls FormController::pushPending() from its event loop whenever the
    // port can take bytes (Channel::pendingHandle() says what to wait on).
    virtual void watchLine(bool pending) = 0;

protected:
    ~FormView() = default;
};

// The window's behaviour, written once for both front ends: the port is claimed at load, each click
// on the convert button is one send, leaving drains and releases the port, and every failure the
// user must know of becomes one message. `Channel` is SerialChannel; tests hand in a stand-in.
template <class Channel> class FormController
{
public:
    template <class... ChannelArgs>
    explicit FormController(FormView &view, ChannelArgs &&...channelArgs)
        : m_view(view), m_channel(std::forward<ChannelArgs>(channelArgs)...)
    {
    }

    // Claims the port before the window is shown. False, after telling the user why, when it
    // cannot: the program is of no use without its port.
    bool load()
    {
        if (const std::optional<PortFailure> failure = m_channel.open()) {
            report(FormDesign::openFailureMessage(m_channel.portName(), *failure));
            return false;
        }
        return true;
    }

    // A click on the convert button. The monitor box takes the command's text once, when it is
    // done: emptying it first would cost a relayout before the frame is even written, and nothing
    // could see it in between. A send that went out is announced: the focus stays on the button, so
    // a screen reader would not read the monitor box by itself.
    void convert()
    {
        if (m_reporting)
            return;
        std::size_t sent = 0;
        const SendResult result = SendCommand(m_view.inputText(), [this, &sent](const UnicodeFrame &frame) {
            std::optional<PortFailure> failure = m_channel.output(frame);
            if (!failure)
                sent = frame.size();
            return failure;
        });
        m_view.watchLine(m_channel.hasPending());
        m_view.setMonitorText(result.monitorText);
        if (result.failure)
            report(FormDesign::sendFailureMessage(*result.failure, m_channel.portName()));
        else
            m_view.announce(FormDesign::sentAnnouncement(sent));
    }

    // Exit, or the window closed from its title bar: either way the bytes still queued leave the
    // wire before the port is released, and a close that loses any is said, not swallowed.
    void exit()
    {
        if (m_reporting)
            return;
        exitNow();
    }

    // The window is asked to close (Windows: WM_CLOSE, from the title bar or from another program,
    // as taskkill sends it). It leaves as Exit does; a message that is up is answered first, so
    // that the user reads it and what Exit may have to say about lost frames comes after it.
    void closeRequested()
    {
        if (m_reporting)
            m_closeRequested = true;
        else
            exit();
    }

    // The session ends (log-off, shutdown): the system ends the program once this returns, so it
    // leaves as Exit does now, a message up or not.
    void endSession()
    {
        if (!m_leaving)
            exitNow();
    }

    // The program is ended without its Exit: a signal (logout, shutdown, kill) or its display gone.
    // The same drain under the same bound, even while a message is up, but what was lost comes back
    // rather than in a message, which nobody may be there to answer; the caller says it where it
    // can still be read.
    std::optional<FormDesign::Message> leave()
    {
        const std::optional<PortFailure> failure = release();
        if (!failure)
            return std::nullopt;
        return FormDesign::closeFailureMessage(m_channel.portName(), *failure);
    }

    // The port can take bytes again after a stall: the rest of the frame it held back follows now,
    // not at the next click, as the stall's message promises. A failure is the next send's or Exit's
    // to report, when the user is there to read it; until then the line is not watched.
    void pushPending()
    {
        const bool failed = m_channel.pushPending().has_value();
        m_view.watchLine(!failed && m_channel.hasPending());
    }

    const Channel &channel() const { return m_channel; }

private:
    // While a message is up, clicks that were queued behind a slow send (Windows delivers them inside
    // the message box's own loop) are dropped: each would send again and most likely be answered with
    // another box about the same fault.
    void report(const FormDesign::Message &message)
    {
        m_reporting = true;
        m_view.showMessage(message);
        m_reporting = false;
        if (std::exchange(m_closeRequested, false) && !m_leaving)
            exitNow();
    }

    // Exit's way out: the port drained under the bound and released, a loss said in a message, then
    // the program ends.
    void exitNow()
    {
        const std::optional<PortFailure> failure = release();
        if (failure)
            report(FormDesign::closeFailureMessage(m_channel.portName(), *failure));
        m_view.quit(failure ? 1 : 0);
    }

    std::optional<PortFailure> release()
    {
        m_leaving = true;
        std::optional<PortFailure> failure = m_channel.close();
        m_view.watchLine(false);
        return failure;
    }

    FormView &m_view;
    Channel m_channel;
    bool m_reporting = false;
    bool m_closeRequested = false; // while a message was up
    bool m_leaving = false;        // the port is released, or being released: never twice
};
