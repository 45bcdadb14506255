// SPDX-License-Identifier: MIT
#include "sessionend.h"

#include "form1.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdlib>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::array<int, 3> kSignals = {SIGTERM, SIGINT, SIGHUP};

// What the handler and the exit hook reach: the handler only the socket's write end.
int g_signalsWrite = -1;
Form1 *g_form = nullptr;
std::thread::id g_formThread;

// Only async-signal-safe work here: one byte wakes the event loop, which does the rest. The socket
// never blocks, and when it is full a wake-up is already waiting.
void onSignal(int number)
{
    const int saved = errno;
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const ssize_t written = ::write(g_signalsWrite, &byte, 1);
    errno = saved;
}

// When the X server goes away, Qt says "The X11 connection broke" and ends the program with exit(1)
// from its event loop, without unwinding main(): the window and its port are still there, and Exit's
// drain runs here, before the process ends, with Qt's exit status.
void atExit()
{
    if (g_form && std::this_thread::get_id() == g_formThread)
        g_form->leave();
}

} // namespace

SessionEnd::SessionEnd(Form1 &form) : m_form(form)
{
    g_form = &form;
    g_formThread = std::this_thread::get_id();
    static const bool hooked = std::atexit(atExit) == 0;
    (void)hooked;

    int ends[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0)
        return;
    m_signalsRead = UniqueFd(ends[0]);
    m_signalsWrite = UniqueFd(ends[1]);
    g_signalsWrite = ends[1];
    m_signals = new QSocketNotifier(ends[0], QSocketNotifier::Read, this);
    connect(m_signals, &QSocketNotifier::activated, this, &SessionEnd::signalled);

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        ::sigaction(kSignals[i], nullptr, &m_previous[i]);
        // A signal ignored from the start stays ignored: nohup's SIGHUP, a background job's SIGINT.
        if (m_previous[i].sa_handler != SIG_IGN)
            ::sigaction(kSignals[i], &action, nullptr);
    }
}

SessionEnd::~SessionEnd()
{
    g_form = nullptr;
    if (!m_signals)
        return;
    for (std::size_t i = 0; i < kSignals.size(); ++i)
        ::sigaction(kSignals[i], &m_previous[i], nullptr);
    g_signalsWrite = -1;
}

void SessionEnd::signalled()
{
    char numbers[16];
    while (::read(m_signalsRead.get(), numbers, sizeof numbers) > 0) {
    }
    QCoreApplication::exit(m_form.leave());
}
