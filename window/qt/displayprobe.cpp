// SPDX-License-Identifier: MIT
#include "displayprobe.h"

#include "uniquefd.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A remote X server that does not answer must not hold up the message that says so.
constexpr int kConnectTimeoutMs = 2000;

bool connectsTo(int fd, const sockaddr *address, socklen_t length)
{
    if (::connect(fd, address, length) == 0)
        return true;
    if (errno != EINPROGRESS)
        return false;
    pollfd ready{fd, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    return ::poll(&ready, 1, kConnectTimeoutMs) == 1 &&
           ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

// `abstract`: the name lives in Linux's abstract namespace, where X servers listen besides /tmp.
bool localSocketAnswers(const std::string &path, bool abstract = false)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // A path ends in a NUL, an abstract name starts with one: the same length either way.
    if (path.empty() || path.size() + 1 > sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path + (abstract ? 1 : 0), path.data(), path.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    return fd && connectsTo(fd.get(), reinterpret_cast<const sockaddr *>(&address), length);
}

bool tcpAnswers(const std::string &host, int port)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return false;
    bool answers = false;
    for (const addrinfo *candidate = found; candidate && !answers; candidate = candidate->ai_next) {
        const UniqueFd fd(::socket(candidate->ai_family,
                                   candidate->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                   candidate->ai_protocol));
        answers = fd && connectsTo(fd.get(), candidate->ai_addr, candidate->ai_addrlen);
    }
    ::freeaddrinfo(found);
    return answers;
}

// DISPLAY is [host]:number[.screen]; no host or "unix" is this machine's socket, any other host is
// TCP port 6000 + number, as SSH's X forwarding sets it (localhost:10.0).
bool xServerAnswers(const std::string &display)
{
    const std::size_t colon = display.rfind(':');
    if (colon == std::string::npos)
        return false;
    const std::string host = display.substr(0, colon);
    const std::string rest = display.substr(colon + 1);
    char *end = nullptr;
    const long number = std::strtol(rest.c_str(), &end, 10);
    if (end == rest.c_str() || number < 0 || number > 59535)
        return false;
    if (host.empty() || host == "unix") {
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
        return localSocketAnswers(socket) || localSocketAnswers(socket, true);
    }
    return tcpAnswers(host, 6000 + static_cast<int>(number));
}

// WAYLAND_DISPLAY is a socket name in XDG_RUNTIME_DIR, or a path of its own.
bool waylandAnswers(const std::string &display)
{
    if (display.front() == '/')
        return localSocketAnswers(display);
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime && *runtime && localSocketAnswers(std::string(runtime) + "/" + display);
}

} // namespace

bool displayAnswers()
{
    const char *x = std::getenv("DISPLAY");
    const char *wayland = std::getenv("WAYLAND_DISPLAY");
    return (x && *x && xServerAnswers(x)) || (wayland && *wayland && waylandAnswers(wayland));
}
