// SPDX-License-Identifier: MIT
#pragma once

#include "portfailure.h"

#include <optional>
#include <string>

// The UUCP lock file that serial programs on Linux agree on: LCK..<device> in /run/lock, holding
// the owner's process number. It is read in both forms found in the wild: HDB ("      1234\n", as
// minicom and uucp write it) and Qt's ("1234\nprogram\nhost\n"); ours is in Qt's form, which HDB
// readers parse too. A lock is left over from a crash, and taken over, when its process is gone or,
// in Qt's form, when the process now under that number is not the program the lock names. Ours is
// never seen half written, and of programs that find the same lock left over at once, one takes it.
class LockFile
{
public:
    // Where the system keeps its lock files: /run/lock, or /var/lock on an older system; empty where
    // it keeps none.
    static std::string systemDirectory();

    explicit LockFile(std::string directory = systemDirectory()) : m_directory(std::move(directory)) {}
    ~LockFile() { release(); }
    LockFile(const LockFile &) = delete;
    LockFile &operator=(const LockFile &) = delete;

    // `device` is the resolved path: /dev/COM1 and the /dev/ttyUSB0 it leads to are one lock.
    // Returns why the port is taken, or nothing when it is ours (or when the system keeps no locks).
    std::optional<PortFailure> acquire(const std::string &device);
    void release();

private:
    std::optional<PortFailure> claim(const std::string &ours, const std::string &path);

    std::string m_directory;
    std::string m_path;
};
