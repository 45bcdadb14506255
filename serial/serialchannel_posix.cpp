// SPDX-License-Identifier: MIT
#include "serialchannel.h"

#include "lockfile.h"
#include "portreasons.h"
#include "serialline.h"
#include "serialport.h"
#include "uniquefd.h"
#include "utf8.h"

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using PortReasons::Operation;

PortFailure reason(int error, Operation operation)
{
    return PortReasons::posixFailure(error, operation, fromUtf8(std::strerror(error)));
}

class PosixPort final : public SerialChannel::Port
{
public:
    using Port::Port;

private:
    // The lock, then the descriptor, then the line settings; released in the reverse order.
    Failure openDevice() override;
    Failure configure();
    void release() override;

    // Writes never block: what the terminal does not take at once waits in m_tail.
    Failure submit(const std::vector<std::uint8_t> &bytes, bool &started) override;
    Failure pushPending() override;
    Failure writeSome(const std::uint8_t *bytes, std::size_t size, std::size_t &done);
    Failure writeFailed(int error);
    void pause(Milliseconds most) override;

    Failure unsent(std::size_t &bytes) override;
    bool finish() override;
    void discard() override;

    bool isDeviceOpen() const override { return static_cast<bool>(m_fd); }
    SerialChannel::Handle pendingHandle() const override { return m_fd.get(); }
    bool hasPending() const override { return !m_tail.empty(); }
    UniqueFd m_fd;
    LockFile m_lock;
    // The part of a committed frame the terminal has not taken yet.
    std::vector<std::uint8_t> m_tail;
    // The last write found the terminal's buffer full.
    bool m_full = false;
};

SerialChannel::Failure PosixPort::openDevice()
{
    char resolved[PATH_MAX] = {};
    if (!::realpath(toUtf8(name()).c_str(), resolved))
        return reason(errno, Operation::Open);
    if (Failure held = m_lock.acquire(resolved))
        return held;

    // Non-blocking, so that neither a missing carrier at open nor a stalled line at write can hang
    // the window; the channel waits for the line itself, bounded.
    m_fd = UniqueFd(::open(resolved, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!m_fd) {
        const int error = errno;
        m_lock.release();
        return reason(error, Operation::Open);
    }
    if (Failure failure = configure()) {
        release();
        return failure;
    }
    return std::nullopt;
}

SerialChannel::Failure PosixPort::configure()
{
    const int fd = m_fd.get();
    termios line{};
    if (::tcgetattr(fd, &line) != 0)
        return reason(errno, Operation::Open);
    // Programs that open the device directly (pyserial, minicom) take an flock on it; TIOCEXCL keeps
    // out everyone else who is not root.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0)
        return reason(errno, Operation::Open);

    ::cfmakeraw(&line);
    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    line.c_cflag |= CS8 | CLOCAL | CREAD;
    line.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
    if (::cfsetispeed(&line, B9600) != 0 || ::cfsetospeed(&line, B9600) != 0 ||
        ::tcsetattr(fd, TCSANOW, &line) != 0)
        return reason(errno, Operation::Open);

    // A pseudo-terminal or a USB adapter without modem lines cannot set DTR or RTS; that is no
    // reason to refuse the port, since the module does not need them.
    const auto setLine = [fd](unsigned long request, int bits) {
        return ::ioctl(fd, request, &bits) == 0 || errno == ENOTTY || errno == EINVAL;
    };
    if (!setLine(TIOCMBIS, TIOCM_DTR) || !setLine(TIOCMBIC, TIOCM_RTS))
        return reason(errno, Operation::Open);
    return std::nullopt;
}

SerialChannel::Failure PosixPort::submit(const std::vector<std::uint8_t> &bytes, bool &started)
{
    std::size_t done = 0;
    const Failure failure = writeSome(bytes.data(), bytes.size(), done);
    // A frame that has begun is committed: the rest follows before anything else.
    started = done > 0;
    if (started)
        m_tail.assign(bytes.begin() + static_cast<std::ptrdiff_t>(done), bytes.end());
    return failure;
}

SerialChannel::Failure PosixPort::pushPending()
{
    std::size_t done = 0;
    const Failure failure = writeSome(m_tail.data(), m_tail.size(), done);
    m_tail.erase(m_tail.begin(), m_tail.begin() + static_cast<std::ptrdiff_t>(done));
    return failure;
}

// A terminal with a full buffer takes part of a write, or nothing (EAGAIN): `done` says how much it
// took, and the caller keeps the rest, in order, to go before anything else.
SerialChannel::Failure PosixPort::writeSome(const std::uint8_t *bytes, std::size_t size, std::size_t &done)
{
    done = 0;
    m_full = false;
    while (done < size) {
        const ssize_t written = ::write(m_fd.get(), bytes + done, size - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
            continue;
        }
        const int error = written < 0 ? errno : EAGAIN;
        if (error == EAGAIN) {
            m_full = true;
            break;
        }
        if (error != EINTR)
            return writeFailed(error);
    }
    return std::nullopt;
}

SerialChannel::Failure PosixPort::writeFailed(int error)
{
    return failedWrite(reason(error, Operation::Write));
}

// A pseudo-terminal's TIOCOUTQ reads 0: its buffer is on the master's side, where the slave cannot
// count it. There the driver's queue is invisible, the bound on it never holds anything back, and
// only a partial write (the pty's buffer full) shows that the line has stopped.
SerialChannel::Failure PosixPort::unsent(std::size_t &bytes)
{
    int queued = 0;
    if (::ioctl(m_fd.get(), TIOCOUTQ, &queued) != 0)
        return writeFailed(errno);
    bytes = m_tail.size() + static_cast<std::size_t>(queued > 0 ? queued : 0);
    return std::nullopt;
}

// While the terminal's buffer is full, its turning writable is the line moving; otherwise only its
// queue shows that, and is looked at again after a while.
void PosixPort::pause(Milliseconds most)
{
    if (!m_full) {
        std::this_thread::sleep_for(most);
        return;
    }
    pollfd ready{m_fd.get(), POLLOUT, 0};
    ::poll(&ready, 1, static_cast<int>(most.count()));
}

// tcdrain() has no time limit: a USB adapter that stops answering would hold it, and Exit, for good.
// So it runs on a thread of its own, on a descriptor of its own, and is waited for as long as the
// largest buffer an adapter's chip keeps out of the driver's count (an FT2232H's 4 KiB) takes on the
// wire, and the grace a line has before it counts as stalled. A drain that outlasts that is left to
// end with the process; its descriptor keeps the device open until then, but the lock and our
// descriptor go now.
bool PosixPort::finish()
{
    constexpr std::uint64_t kLargestChipBuffer = 4096;
    struct Drain
    {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
    };
    UniqueFd fd(::fcntl(m_fd.get(), F_DUPFD_CLOEXEC, 0));
    if (!fd)
        return true; // the kernel's close drains instead, within its own bound
    const auto drain = std::make_shared<Drain>();
    try {
        std::thread([drain, fd = std::move(fd)] {
            ::tcdrain(fd.get());
            const std::lock_guard<std::mutex> lock(drain->mutex);
            drain->finished = true;
            drain->done.notify_all();
        }).detach();
    } catch (const std::system_error &) {
        return true;
    }
    std::unique_lock<std::mutex> lock(drain->mutex);
    return drain->done.wait_for(lock, SerialLine::wireTime(kLargestChipBuffer) + SerialLine::kStallGrace,
                                [&drain] { return drain->finished; });
}

void PosixPort::discard()
{
    m_tail.clear();
    std::size_t queued = 0;
    if (!unsent(queued) && queued > 0)
        ::tcflush(m_fd.get(), TCOFLUSH);
}

void PosixPort::release()
{
    m_tail.clear();
    m_full = false;
    m_fd.reset();
    m_lock.release();
}

} // namespace

std::unique_ptr<SerialChannel::Port> SerialChannel::Port::create(std::u16string name)
{
    return std::make_unique<PosixPort>(std::move(name));
}

std::u16string SerialChannel::com1PortName()
{
    // A name the system gives the module's port, normally a udev rule's symlink to a USB adapter,
    // comes first: most PCs have no serial chip behind /dev/ttyS0 any more.
    // access() follows the link: one left behind by an adapter that is gone does not count.
    return ::access("/dev/COM1", F_OK) == 0 ? u"/dev/COM1" : u"/dev/ttyS0";
}
