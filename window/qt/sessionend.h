// SPDX-License-Identifier: MIT
#pragma once

#include "uniquefd.h"

#include <QObject>

#include <array>

#include <signal.h>

class Form1;
class QSocketNotifier;

// The ways the program is ended without its Exit: SIGTERM (kill, shutdown), SIGINT (Ctrl+C), SIGHUP
// (logout, its terminal closed), and the X server going away, after which Qt ends the program with
// exit(). Each takes Exit's path: what is queued gets its bounded time to leave, the frames that could
// not are named on standard error, and the port and its lock file are released. For the life of
// `form`, from before its port is claimed.
class SessionEnd : public QObject
{
public:
    explicit SessionEnd(Form1 &form);
    ~SessionEnd() override;
    SessionEnd(const SessionEnd &) = delete;
    SessionEnd &operator=(const SessionEnd &) = delete;

private:
    void signalled();

    Form1 &m_form;
    UniqueFd m_signalsRead;
    UniqueFd m_signalsWrite;
    QSocketNotifier *m_signals = nullptr;
    std::array<struct sigaction, 3> m_previous{};
};
