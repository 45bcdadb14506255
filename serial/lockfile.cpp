// SPDX-License-Identifier: MIT
#include "lockfile.h"

#include "portreasons.h"
#include "uniquefd.h"
#include "utf8.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string lockDirectory()
{
    for (const char *directory : {"/run/lock", "/var/lock"}) {
        struct stat info = {};
        if (::stat(directory, &info) == 0 && S_ISDIR(info.st_mode))
            return directory;
    }
    return {};
}

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

} // namespace

std::optional<std::u16string> LockFile::acquire(const std::string &device)
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
        const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (fd) {
            const std::string owner = ownerRecord();
            if (::write(fd.get(), owner.data(), owner.size()) != static_cast<ssize_t>(owner.size())) {
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
        std::ifstream lock(path);
        const long pid = std::strtol(firstLine(lock).c_str(), nullptr, 10);
        const std::string program = firstLine(lock);
        const bool gone = pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
        const bool stale = gone || (pid > 0 && !program.empty() && !runs(pid, program));
        if (!stale) {
            const std::string holder = pid > 0 ? firstLine("/proc/" + std::to_string(pid) + "/comm") : "";
            return PortReasons::heldByAnotherProgram(pid, fromUtf8(holder), fromUtf8(path));
        }
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            return std::nullopt;
    }
    return PortReasons::heldByAnotherProgram(0, {}, fromUtf8(path));
}

void LockFile::release()
{
    if (!m_path.empty())
        ::unlink(m_path.c_str());
    m_path.clear();
}
