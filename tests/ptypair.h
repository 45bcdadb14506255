// SPDX-License-Identifier: MIT
#pragma once

// A pseudo-terminal standing in for the module's serial port: the channel opens slavePath(), the
// test reads what arrived from the master side. Never a real /dev/ttyS*.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>

#include "uniquefd.h"

#include <string>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

class PtyPair
{
public:
    PtyPair()
    {
        char name[256] = {};
        int masterFd = -1;
        int slaveFd = -1;
        // The line stays as the pty driver makes it (cooked, LF to CR LF): the channel must make it
        // raw itself, and a test that did it here would hide a channel that forgets.
        if (::openpty(&masterFd, &slaveFd, name, nullptr, nullptr) == 0) {
            m_master = UniqueFd(masterFd);
            m_slave = UniqueFd(slaveFd);
            m_slavePath = QString::fromLocal8Bit(name).toStdU16String();
        }
    }

    bool isValid() const { return m_master && !m_slavePath.empty(); }
    std::u16string slavePath() const { return m_slavePath; }
    int master() const { return m_master.get(); }
    int slave() const { return m_slave.get(); }

    // Reads until `count` bytes have arrived or `timeoutMs` has passed, whichever is first.
    QByteArray read(int count, int timeoutMs = 2000)
    {
        QByteArray data;
        const QDeadlineTimer deadline(timeoutMs);
        while (data.size() < count && !deadline.hasExpired()) {
            pollfd pfd{master(), POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(deadline.remainingTime())) <= 0)
                break;
            char buffer[4096];
            const ssize_t n = ::read(master(), buffer, sizeof buffer);
            if (n <= 0)
                break;
            data.append(buffer, n);
        }
        return data;
    }

    // Everything that is already there, without waiting for more.
    QByteArray readPending() { return read(1 << 20, 50); }

    // Writes `filler` to the slave side until the pseudo-terminal stops taking bytes, as a module that
    // has stopped reading would leave it. The kernel moves bytes between its buffers in the
    // background, so this keeps going until several tries in a row find no room. Returns how many
    // bytes it wrote.
    qint64 fillUntilFull(char filler = '\0')
    {
        ::fcntl(slave(), F_SETFL, ::fcntl(slave(), F_GETFL) | O_NONBLOCK);
        const QByteArray block(512, filler);
        qint64 total = 0;
        for (int idle = 0; idle < 5;) {
            const ssize_t n = ::write(slave(), block.constData(), static_cast<size_t>(block.size()));
            if (n > 0) {
                total += n;
                idle = 0;
            } else {
                ++idle;
                ::usleep(20000);
            }
        }
        return total;
    }

    // Leaves the channel as the only holder of the slave side, so the master sees it let go.
    void closeSlave() { m_slave.reset(); }

    // True once nobody holds the slave side any more (the master reads a hang-up).
    bool slaveReleased(int timeoutMs = 2000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        do {
            pollfd pfd{master(), POLLIN, 0};
            if (::poll(&pfd, 1, 20) > 0 && (pfd.revents & POLLHUP))
                return true;
        } while (!deadline.hasExpired());
        return false;
    }

    // The other side of the line goes away, as when the module's cable is pulled.
    void closeMaster() { m_master.reset(); }

private:
    UniqueFd m_master;
    UniqueFd m_slave;
    std::u16string m_slavePath;
};
