// SPDX-License-Identifier: MIT
#include "serialchannel.h"

#include "portreasons.h"
#include "serialline.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using PortReasons::Operation;

// Device paths, system messages and process names are UTF-8 on any Linux this runs on.
std::string toUtf8(std::u16string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Anything that is not well-formed UTF-8 becomes U+FFFD rather than being dropped.
std::u16string fromUtf8(std::string_view text)
{
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int length = lead < 0x80                   ? 1
                           : lead >= 0xF0 && lead < 0xF5 ? 4
                           : lead >= 0xE0                ? 3
                           : lead >= 0xC2                ? 2
                                                         : 0;
        char32_t c = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
        bool valid = length > 0 && i + static_cast<std::size_t>(length) <= text.size();
        for (int k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        valid = valid && !(c >= 0xD800 && c < 0xE000) && c < 0x110000 &&
                c >= (length == 3   ? 0x800u
                      : length == 4 ? 0x10000u
                                    : 0u);
        if (!valid) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += static_cast<std::size_t>(length);
    }
    return out;
}

std::u16string reason(int error, Operation operation)
{
    return PortReasons::posixReason(error, operation, fromUtf8(std::strerror(error)));
}

std::string firstLine(const std::string &path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// The UUCP lock file that serial programs on Linux agree on: LCK..<device> in /run/lock, holding
// the owner's process number. It is read in both forms found in the wild: HDB ("      1234\n", as
// minicom and uucp write it) and Qt's ("1234\nprogram\nhost\n"); ours is in Qt's form, which HDB
// readers parse too. A lock whose process is gone is left over from a crash and is taken over.
class LockFile
{
public:
    ~LockFile() { release(); }

    // `device` is the resolved path: /dev/COM1 and the /dev/ttyUSB0 it leads to are one lock.
    SerialChannel::Failure acquire(const std::string &device)
    {
        const std::string directory = lockDirectory();
        if (directory.empty())
            return std::nullopt;
        std::string name = device.rfind("/dev/", 0) == 0 ? device.substr(5) : device;
        for (char &c : name) {
            if (c == '/')
                c = '_';
        }
        const std::string path = directory + "/LCK.." + name;
        for (int attempt = 0; attempt < 2; ++attempt) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd >= 0) {
                const std::string owner = ownerRecord();
                const bool written =
                    ::write(fd, owner.data(), owner.size()) == static_cast<ssize_t>(owner.size());
                ::close(fd);
                if (!written) {
                    ::unlink(path.c_str());
                    return std::nullopt;
                }
                m_path = path;
                return std::nullopt;
            }
            if (errno != EEXIST) {
                // A lock directory we may not write to is the system's business; the device's own
                // exclusive locks still keep other programs out.
                return std::nullopt;
            }
            const long pid = std::strtol(firstLine(path).c_str(), nullptr, 10);
            const bool stale = pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
            if (!stale) {
                const std::string program =
                    pid > 0 ? firstLine("/proc/" + std::to_string(pid) + "/comm") : "";
                return PortReasons::heldByAnotherProgram(pid, fromUtf8(program));
            }
            if (::unlink(path.c_str()) != 0 && errno != ENOENT)
                return std::nullopt;
        }
        return PortReasons::heldByAnotherProgram();
    }

    void release()
    {
        if (!m_path.empty())
            ::unlink(m_path.c_str());
        m_path.clear();
    }

private:
    static std::string lockDirectory()
    {
        for (const char *directory : {"/run/lock", "/var/lock"}) {
            struct stat info = {};
            if (::stat(directory, &info) == 0 && S_ISDIR(info.st_mode))
                return directory;
        }
        return {};
    }

    // Qt treats a lock as stale unless the program named in it is the one running under its
    // process number, so the name is our executable's, as the kernel knows it.
    static std::string ownerRecord()
    {
        char executable[PATH_MAX] = {};
        const ssize_t length = ::readlink("/proc/self/exe", executable, sizeof executable - 1);
        const std::string path = length > 0 ? std::string(executable, static_cast<std::size_t>(length)) : "";
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        std::ostringstream record;
        record << ::getpid() << '\n' << path.substr(path.rfind('/') + 1) << '\n' << host << '\n';
        return record.str();
    }

    std::string m_path;
};

} // namespace

class SerialChannel::Port
{
public:
    explicit Port(std::u16string portName) : m_name(std::move(portName)) {}
    ~Port() { (void)close(); }

    Failure open();
    Failure output(const std::vector<std::uint8_t> &bytes);
    Failure close();
    bool isOpen() const { return m_fd >= 0; }
    const std::u16string &name() const { return m_name; }

private:
    Failure configure();
    Failure drain();
    void release();

    std::u16string m_name;
    int m_fd = -1;
    LockFile m_lock;
};

SerialChannel::Failure SerialChannel::Port::open()
{
    if (isOpen())
        return std::nullopt;

    char resolved[PATH_MAX] = {};
    if (!::realpath(toUtf8(m_name).c_str(), resolved))
        return reason(errno, Operation::Open);
    if (Failure held = m_lock.acquire(resolved))
        return held;

    // Non-blocking, so that neither a missing carrier at open nor a stalled line at write can hang
    // the window; output() waits for the line itself, bounded.
    m_fd = ::open(resolved, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
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

SerialChannel::Failure SerialChannel::Port::configure()
{
    termios line{};
    if (::tcgetattr(m_fd, &line) != 0)
        return reason(errno, Operation::Open);
    // Programs that open the device directly (pyserial, minicom) take an flock on it; TIOCEXCL keeps
    // out everyone else who is not root.
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(m_fd, TIOCEXCL) != 0)
        return reason(errno, Operation::Open);

    ::cfmakeraw(&line);
    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    line.c_cflag |= CS8 | CLOCAL | CREAD;
    line.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
    if (::cfsetispeed(&line, B9600) != 0 || ::cfsetospeed(&line, B9600) != 0 ||
        ::tcsetattr(m_fd, TCSANOW, &line) != 0)
        return reason(errno, Operation::Open);

    // A pseudo-terminal or a USB adapter without modem lines cannot set DTR or RTS; that is no
    // reason to refuse the port, since the module does not need them.
    const auto setLine = [this](unsigned long request, int bits) {
        return ::ioctl(m_fd, request, &bits) == 0 || errno == ENOTTY || errno == EINVAL;
    };
    if (!setLine(TIOCMBIS, TIOCM_DTR) || !setLine(TIOCMBIC, TIOCM_RTS))
        return reason(errno, Operation::Open);
    return std::nullopt;
}

SerialChannel::Failure SerialChannel::Port::output(const std::vector<std::uint8_t> &bytes)
{
    if (!isOpen())
        return SerialLine::kNotOpenReason;

    const Clock::time_point deadline = Clock::now() + SerialLine::writeDeadline(bytes.size());
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(m_fd, bytes.data() + done, bytes.size() - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
            continue;
        }
        const int error = written < 0 ? errno : EAGAIN;
        if (error == EINTR)
            continue;
        if (error != EAGAIN) {
            if (error == EIO || error == ENXIO || error == ENODEV) {
                // The device is gone (an adapter unplugged); nothing more can reach it.
                release();
            } else {
                ::tcflush(m_fd, TCOFLUSH);
            }
            return reason(error, Operation::Write);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd ready{m_fd, POLLOUT, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count()) + 1) == 0) {
            // Whatever is still queued must not trail out later, glued to the next frame.
            ::tcflush(m_fd, TCOFLUSH);
            return SerialLine::kStalledReason;
        }
    }
    return std::nullopt;
}

SerialChannel::Failure SerialChannel::Port::close()
{
    if (!isOpen())
        return std::nullopt;
    const Failure failure = drain();
    // A stalled line would otherwise hold the close itself up while the driver waits for it.
    if (failure)
        ::tcflush(m_fd, TCOFLUSH);
    release();
    return failure;
}

SerialChannel::Failure SerialChannel::Port::drain()
{
    // The kernel's close waits for the output queue with no bound worth the name (30 s), and
    // tcdrain with none at all: wait here while the queue empties at the line's speed, bounded in
    // case the line is stalled, and leave only the last few bytes in the UART to tcdrain.
    const Clock::time_point deadline =
        Clock::now() + SerialLine::writeDeadline(SerialLine::kTransmitBufferSize);
    int queued = 0;
    while (::ioctl(m_fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
        if (Clock::now() >= deadline)
            return SerialLine::kStalledReason;
        std::this_thread::sleep_for(SerialLine::wireTime(static_cast<std::uint64_t>(queued)) / 2 +
                                    std::chrono::milliseconds{1});
    }
    ::tcdrain(m_fd);
    return std::nullopt;
}

void SerialChannel::Port::release()
{
    ::close(m_fd);
    m_fd = -1;
    m_lock.release();
}

std::u16string SerialChannel::com1PortName()
{
    // A name the system gives the module's port, normally a udev rule's symlink to a USB adapter,
    // comes first: most PCs have no serial chip behind /dev/ttyS0 any more.
    // access() follows the link: one left behind by an adapter that is gone does not count.
    return ::access("/dev/COM1", F_OK) == 0 ? u"/dev/COM1" : u"/dev/ttyS0";
}

SerialChannel::SerialChannel(std::u16string portName) : m_port(std::make_unique<Port>(std::move(portName))) {}

SerialChannel::~SerialChannel() = default;

SerialChannel::Failure SerialChannel::open()
{
    return m_port->open();
}

SerialChannel::Failure SerialChannel::output(const std::vector<std::uint8_t> &bytes)
{
    return m_port->output(bytes);
}

SerialChannel::Failure SerialChannel::close()
{
    return m_port->close();
}

bool SerialChannel::portOpen() const
{
    return m_port->isOpen();
}

const std::u16string &SerialChannel::portName() const
{
    return m_port->name();
}
