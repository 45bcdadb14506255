// SPDX-License-Identifier: MIT
#pragma once

#include <QtGlobal>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

// Reads the pty master continuously on its own thread until stopped; counts what arrived.
class MasterDrain
{
public:
    explicit MasterDrain(int masterFd) : m_master(masterFd)
    {
        if (::pipe2(m_wake, O_CLOEXEC) != 0)
            return;
        m_thread = std::thread([this] { run(); });
    }
    ~MasterDrain()
    {
        stop();
        for (const int fd : m_wake) {
            if (fd >= 0)
                ::close(fd);
        }
    }
    MasterDrain(const MasterDrain &) = delete;
    MasterDrain &operator=(const MasterDrain &) = delete;

    bool running() const { return m_thread.joinable(); }
    qint64 received() const { return m_received.load(std::memory_order_acquire); }

    // Waits until `total` bytes in all have arrived; false if they have not after `timeout`.
    bool waitForTotal(qint64 total, std::chrono::milliseconds timeout) const
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (received() < total) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // Wakes the reader through its pipe and joins it; safe to call twice.
    void stop()
    {
        if (!m_thread.joinable())
            return;
        const char wake = 1;
        while (::write(m_wake[1], &wake, 1) < 0 && errno == EINTR) {
        }
        m_thread.join();
    }

private:
    void run()
    {
        char buffer[4096];
        for (;;) {
            pollfd fds[2] = {{m_master, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[1].revents != 0)
                return; // stop() was called
            if (fds[0].revents & POLLIN) {
                const ssize_t n = ::read(m_master, buffer, sizeof buffer);
                if (n > 0)
                    m_received.fetch_add(n, std::memory_order_release);
                else if (n == 0 || (errno != EINTR && errno != EAGAIN))
                    return;
            } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                return; // every slave side closed: nothing more can arrive, and poll would spin
            }
        }
    }

    int m_master;
    int m_wake[2] = {-1, -1};
    std::atomic<qint64> m_received{0};
    std::thread m_thread;
};
