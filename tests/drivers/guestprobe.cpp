// SPDX-License-Identifier: MIT
// Runs inside the test guest (run_guest.py) against one real serial driver. It leaves the port as a
// careless program would, then lets SerialChannel, the product's own code, open it through /dev/COM1,
// write the frames and close it, and reports what the driver holds while the channel has the port.
// It only observes: run_guest.py judges, against the wire and QEMU's device models too.
//
//   guestprobe DEVICE FRAMES   DEVICE the node /dev/COM1 leads to, FRAMES one frame in hex per line
//
// Every report line starts with "@@probe "; the caller relays them once the port is closed.

#include "formdesign.h"
#include "serialchannel.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr char kLockDirectory[] = "/run/lock";

std::string utf8(const std::u16string &text)
{
    // Reasons are Chinese; the report only needs them legible, so anything outside the BMP is '?'.
    std::string out;
    for (const char16_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c >= 0xD800 && c < 0xE000) {
            out += '?';
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string hex(unsigned long value)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%lx", value);
    return text;
}

class Report
{
public:
    explicit Report(std::string device) : m_device(std::move(device)) {}

    void line(const std::string &key, const std::string &value)
    {
        m_text << "@@probe " << m_device << ' ' << key << ' ' << value << '\n';
    }

    // The modem lines and line settings of `fd`, in the kernel's own numbers.
    void lineState(const std::string &key, int fd)
    {
        termios line{};
        int modem = 0;
        if (::tcgetattr(fd, &line) != 0) {
            this->line(key, std::string("error tcgetattr ") + std::strerror(errno));
            return;
        }
        const bool haveModem = ::ioctl(fd, TIOCMGET, &modem) == 0;
        this->line(key,
                   "modem=" + (haveModem ? hex(static_cast<unsigned long>(modem)) : std::string("none")) +
                       " ispeed=" + hex(::cfgetispeed(&line)) + " ospeed=" + hex(::cfgetospeed(&line)) +
                       " cflag=" + hex(line.c_cflag) + " iflag=" + hex(line.c_iflag) +
                       " oflag=" + hex(line.c_oflag) + " lflag=" + hex(line.c_lflag));
    }

    // Every lock file in the lock directory, with the process number it names.
    void locks(const std::string &key)
    {
        std::string value;
        if (DIR *directory = ::opendir(kLockDirectory)) {
            while (const dirent *entry = ::readdir(directory)) {
                const std::string name = entry->d_name;
                if (name.rfind("LCK..", 0) != 0)
                    continue;
                std::ifstream file(std::string(kLockDirectory) + "/" + name);
                std::string owner;
                std::getline(file, owner);
                value += name + ":" + std::to_string(std::strtol(owner.c_str(), nullptr, 10)) + " ";
            }
            ::closedir(directory);
        }
        line(key, value.empty() ? "none" : value);
    }

    std::string text() const { return m_text.str(); }

private:
    std::string m_device;
    std::ostringstream m_text;
};

// What another program leaves behind: Linux keeps a port's settings for the next opener, so
// SerialChannel must undo every one of these. Read back after a fresh open to show they stuck.
void leaveHostile(const std::string &device, Report &report)
{
    int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        report.line("hostile", std::string("error open ") + std::strerror(errno));
        return;
    }
    termios line{};
    ::tcgetattr(fd, &line);
    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    line.c_cflag |= CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;
    line.c_iflag |= IXON | IXOFF | ICRNL;
    line.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    line.c_oflag |= OPOST | ONLCR;
    ::cfsetispeed(&line, B4800);
    ::cfsetospeed(&line, B4800);
    if (::tcsetattr(fd, TCSANOW, &line) != 0)
        report.line("hostile", std::string("error tcsetattr ") + std::strerror(errno));
    ::close(fd);

    fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        report.line("hostile", std::string("error reopen ") + std::strerror(errno));
        return;
    }
    report.lineState("hostile", fd);
    ::close(fd);
}

// SerialChannel keeps its descriptor to itself. Opening the device a second time to look would
// raise RTS again (the kernel does that at every open), so look through the one it holds.
int heldDescriptor(const std::string &device)
{
    char wanted[PATH_MAX] = {};
    if (!::realpath(device.c_str(), wanted))
        return -1;
    DIR *directory = ::opendir("/proc/self/fd");
    if (!directory)
        return -1;
    int found = -1;
    while (const dirent *entry = ::readdir(directory)) {
        char target[PATH_MAX] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
        if (length > 0 && std::string(target, static_cast<std::size_t>(length)) == wanted)
            found = std::atoi(entry->d_name);
    }
    ::closedir(directory);
    return found;
}

std::vector<std::vector<std::uint8_t>> readFrames(const std::string &path)
{
    std::vector<std::vector<std::uint8_t>> frames;
    std::ifstream file(path);
    std::string text;
    while (std::getline(file, text)) {
        std::vector<std::uint8_t> frame;
        for (std::size_t i = 0; i + 1 < text.size(); i += 2)
            frame.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        if (!frame.empty())
            frames.push_back(std::move(frame));
    }
    return frames;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: guestprobe DEVICE FRAMES\n");
        return 2;
    }
    const std::string device = argv[1];
    const auto frames = readFrames(argv[2]);
    Report report(device);
    report.line("pid", std::to_string(::getpid()));
    report.line("frames", std::to_string(frames.size()));

    leaveHostile(device, report);

    // The caller's console is a UART too, and QEMU's trace does not say which UART a register write
    // went to: these markers, drained before and after, fence in the writes of the port under test.
    std::printf("@@begin %s@@\n", device.c_str());
    std::fflush(stdout);
    ::tcdrain(STDOUT_FILENO);

    {
        SerialChannel channel(u"/dev/COM1");
        if (const auto failure = channel.open()) {
            report.line("open", "error " + utf8(FormDesign::portReason(*failure)));
        } else {
            report.line("open", "ok");
            const int fd = heldDescriptor(device);
            report.line("descriptor", std::to_string(fd));
            if (fd >= 0)
                report.lineState("held-before", fd);
            report.locks("locks-held");
            for (std::size_t i = 0; i < frames.size(); ++i) {
                const auto refused = channel.output(frames[i]);
                report.line("output" + std::to_string(i),
                            refused ? "error " + utf8(FormDesign::portReason(*refused)) : "ok");
            }
            if (fd >= 0)
                report.lineState("held-after", fd);
            const auto closed = channel.close();
            report.line("close", closed ? "error " + utf8(FormDesign::portReason(*closed)) : "ok");
        }
    }
    report.locks("locks-after");

    std::printf("@@end %s@@\n%s", device.c_str(), report.text().c_str());
    std::fflush(stdout);
    return 0;
}
