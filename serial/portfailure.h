// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string>
#include <tuple>
#include <utility>

// Why the port could not be opened, written or closed, as a value. The words the user reads are the
// window's (FormDesign::portReason), so that the channel carries no sentence, and a test can tell
// the reasons apart without reading them.
struct PortFailure
{
    enum class Reason
    {
        NotOpen,          // output() before open()
        NoDevice,         // no such device: the module's cable, or a name for the adapter not set up
        NoHardware,       // /dev/ttyS0 on a PC without the chip: the 8250 driver keeps the name
        NotSerial,        // the device is no serial port
        NoPermission,     // not in the group that may use the port
        Held,             // another program has it: `pid`, `program` and `lockFile` where known
        Disconnected,     // the device went away, an adapter unplugged: every send from then on
        Stalled,          // the line took no byte for the grace: this frame refused whole
        DiscardedAtClose, // closed on a stopped line: `frames` frames did not go out whole (0: unknown)
        System,           // any other cause: only the system's `code` and `systemText` say it
    };

    PortFailure() = default;
    PortFailure(Reason why, long long systemCode = 0, std::u16string text = {})
        : reason(why), code(systemCode), systemText(std::move(text))
    {
    }
    static PortFailure heldBy(long pid, std::u16string program, std::u16string lockFile)
    {
        PortFailure held(Reason::Held);
        held.pid = pid;
        held.program = std::move(program);
        held.lockFile = std::move(lockFile);
        return held;
    }
    static PortFailure framesLost(std::size_t frames)
    {
        PortFailure lost(Reason::DiscardedAtClose);
        lost.frames = frames;
        return lost;
    }

    Reason reason = Reason::System;
    long long code = 0;        // the system's error code, where one was reported
    std::u16string systemText; // what the system says of `code`
    long pid = 0;              // Held: the holder's process number, 0 where not known
    std::u16string program;    // Held: the holder's name, empty where not known
    std::u16string lockFile;   // Held: the lock file, to remove if its holder is no longer running
    std::size_t frames = 0;    // DiscardedAtClose

    bool operator==(const PortFailure &other) const
    {
        return std::tie(reason, code, systemText, pid, program, lockFile, frames) ==
               std::tie(other.reason, other.code, other.systemText, other.pid, other.program, other.lockFile,
                        other.frames);
    }
    bool operator!=(const PortFailure &other) const { return !(*this == other); }
};
