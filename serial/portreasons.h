// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Why the port could not be opened or written, in words the user can act on. The operating system's
// own text is English on many machines and says nothing about what to do, so the usual causes get a
// Chinese sentence and, where there is one, the remedy; any other cause keeps the system's text
// after a Chinese sentence, so that nothing is lost. Both platforms' tables live here, the Windows
// one with its codes as plain numbers, so that each can be tested anywhere.
namespace PortReasons {

enum class Operation
{
    Open,
    Write,
};

// `error` is an errno value; `systemText` what strerror says of it.
std::u16string posixReason(int error, Operation operation, std::u16string_view systemText);

// `error` is a GetLastError() value; `systemText` what FormatMessage says of it.
std::u16string windowsReason(std::uint32_t error, Operation operation, std::u16string_view systemText);

// Whether a failed write means the device itself has gone (an adapter unplugged), read from the same
// tables that word it, so that the channels never keep a list of their own.
bool posixDeviceGone(int error);
bool windowsDeviceGone(std::uint32_t error);

// The port is claimed by another program. `pid` and `program` name it where its lock file does
// (`pid` 0 when it does not, `program` empty when its name is unknown); `lockFile` is that file.
std::u16string heldByAnotherProgram(long pid = 0, std::u16string_view program = {},
                                    std::u16string_view lockFile = {});

// The channel's own failures, the same on both platforms.
std::u16string notOpen();
// Every send after the device has gone: the program does not open the port again by itself.
std::u16string disconnected();
// The line took no byte for the grace: this frame was refused whole, the earlier ones still wait.
std::u16string stalled();
// Closing on a stalled line dropped what was still queued: `frames` frames did not go out whole.
std::u16string discardedAtClose(std::size_t frames);

} // namespace PortReasons
