// SPDX-License-Identifier: MIT
#include "lockfile.h"

#include "portreasons.h"
#include "uniquefd.h"
#include "utf8.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Refusal = std::optional<PortFailure>;

// How often a lock that is there is looked at again: it went away or was replaced meanwhile, or
// another program was taking it over. The last takes a few system calls, so a pause of a few
// milliseconds covers it, and all the tries together stay well under a second.
constexpr int kAttempts = 20;
constexpr std::chrono::milliseconds kTakeoverPause{10};

std::string firstLine(std::istream &in)
{
    std::string line;
    std::getline(in, line);
    return line;
}

std::string firstLine(const std::string &path)
{
    std::ifstream file(path);
    return firstLine(file);
}

std::string baseName(const std::string &path)
{
    return path.substr(path.rfind('/') + 1);
}

std::string executableName(const std::string &process)
{
    char path[PATH_MAX] = {};
    const ssize_t length = ::readlink(("/proc/" + process + "/exe").c_str(), path, sizeof path - 1);
    return length > 0 ? baseName(std::string(path, static_cast<std::size_t>(length))) : std::string();
}

// Whether the live process `pid` is the program a lock names, by name or by path. Its executable
// says so where we may read it; a process of another user's hides that from a normal user, so the
// kernel's name for it, cut to 15 bytes, is asked too; where neither can be read, it counts as that
// program.
bool runs(long pid, const std::string &program)
{
    constexpr std::size_t kCommLength = 15;
    const std::string name = baseName(program);
    const std::string process = std::to_string(pid);
    const std::string executable = executableName(process);
    if (!executable.empty())
        return executable == name;
    const std::string comm = firstLine("/proc/" + process + "/comm");
    return comm.empty() || comm == name.substr(0, kCommLength);
}

// Qt treats a lock as stale unless the program named in it is the one running under its process
// number, so the name is our executable's, as the kernel knows it.
std::string ownerRecord()
{
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    std::ostringstream record;
    record << ::getpid() << '\n' << executableName("self") << '\n' << host << '\n';
    return record.str();
}

Refusal systemReason(int error)
{
    return PortReasons::posixFailure(error, PortReasons::Operation::Open, fromUtf8(std::strerror(error)));
}

// Our record, whole, or why it could not be written: a lock cut short (a full disk) names nobody and
// would keep nobody out.
Refusal writeRecord(int fd)
{
    const std::string record = ownerRecord();
    std::size_t done = 0;
    while (done < record.size()) {
        const ssize_t written = ::write(fd, record.data() + done, record.size() - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
            continue;
        }
        const int error = written < 0 ? errno : ENOSPC;
        if (error != EINTR)
            return systemReason(error);
    }
    // Every program that checks the lock must be able to read it; mkstemp makes it ours alone.
    if (::fchmod(fd, 0644) != 0)
        return systemReason(errno);
    return std::nullopt;
}

std::string readAll(int fd)
{
    std::string text;
    char buffer[256];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0)
            text.append(buffer, static_cast<std::size_t>(got));
        else if (got == 0 || errno != EINTR)
            return text;
    }
}

enum class Existing
{
    Held,           // by a live program: `refusal` says which
    Stale,          // left over, and held by us until it is replaced
    BeingTakenOver, // by another program that also found it stale
    Gone,           // removed or replaced since it was found
};

// The lock another program left at `path`. One that is stale is held (flock) while `stale` is open,
// and is still the one under that name: a program that judged it stale from an earlier read can
// replace it only once it holds it, and then finds that it has been replaced already.
Existing judge(const std::string &path, Refusal &refusal, UniqueFd &stale)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd && errno == ENOENT)
        return Existing::Gone;
    std::istringstream lock(fd ? readAll(fd.get()) : std::string());
    const long pid = std::strtol(firstLine(lock).c_str(), nullptr, 10);
    const std::string program = firstLine(lock);
    const bool gone = pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
    const bool isStale = gone || (pid > 0 && !program.empty() && !runs(pid, program));
    if (!isStale) {
        const std::string holder = pid > 0 ? firstLine("/proc/" + std::to_string(pid) + "/comm") : "";
        refusal = PortFailure::heldBy(pid, fromUtf8(holder), fromUtf8(path));
        return Existing::Held;
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return Existing::BeingTakenOver;
    struct stat opened = {};
    struct stat named = {};
    if (::fstat(fd.get(), &opened) != 0 || ::stat(path.c_str(), &named) != 0 ||
        opened.st_dev != named.st_dev || opened.st_ino != named.st_ino)
        return Existing::Gone;
    stale = std::move(fd);
    return Existing::Stale;
}

} // namespace

std::string LockFile::systemDirectory()
{
    for (const char *directory : {"/run/lock", "/var/lock"}) {
        struct stat info = {};
        if (::stat(directory, &info) == 0 && S_ISDIR(info.st_mode))
            return directory;
    }
    return {};
}

std::optional<PortFailure> LockFile::acquire(const std::string &device)
{
    if (m_directory.empty())
        return std::nullopt;
    std::string name = device.rfind("/dev/", 0) == 0 ? device.substr(5) : device;
    for (char &c : name) {
        if (c == '/')
            c = '_';
    }
    const std::string path = m_directory + "/LCK.." + name;

    // Ours is written whole under a name of its own first, and only then takes the lock's name: by
    // link() where there is no lock, by rename() over one left over. No program ever reads it half
    // written, and the name never stands free between a stale lock and ours.
    std::string ours = m_directory + "/LTMP.XXXXXX";
    const UniqueFd fd(::mkostemp(ours.data(), O_CLOEXEC));
    if (!fd) {
        // A lock directory we may not write to is the system's business; the device's own
        // exclusive locks still keep other programs out.
        return std::nullopt;
    }
    if (Refusal failure = writeRecord(fd.get())) {
        ::unlink(ours.c_str());
        return failure;
    }
    return claim(ours, path);
}

// Gives the record written at `ours` the lock's name `path`, unless a live program holds the port.
std::optional<PortFailure> LockFile::claim(const std::string &ours, const std::string &path)
{
    // Tries the lock's name again and again while it is there but could be ours: it went away, was
    // replaced, or another program was taking it over just then.
    Refusal refusal = PortFailure::heldBy(0, {}, fromUtf8(path));
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (::link(ours.c_str(), path.c_str()) == 0) {
            m_path = path;
            refusal.reset();
            break;
        }
        if (errno != EEXIST) {
            // Lock files this system will not take (no hard links) are its own business, as above.
            refusal.reset();
            break;
        }
        UniqueFd stale;
        const Existing existing = judge(path, refusal, stale);
        if (existing == Existing::Held)
            break;
        if (existing == Existing::Stale) {
            if (::rename(ours.c_str(), path.c_str()) == 0) {
                m_path = path;
                return std::nullopt;
            }
            refusal.reset();
            break;
        }
        if (existing == Existing::BeingTakenOver)
            std::this_thread::sleep_for(kTakeoverPause);
    }
    ::unlink(ours.c_str());
    return refusal;
}

void LockFile::release()
{
    if (!m_path.empty())
        ::unlink(m_path.c_str());
    m_path.clear();
}
