// SPDX-License-Identifier: MIT
#pragma once

#include "portfailure.h"

#include <cstdint>
#include <string>

// Which reason a system error code stands for. The operating system's own text is English on many
// machines and says nothing about what to do, so the usual causes get a reason of their own, which
// the window words with its remedy; any other keeps the system's code and text. Both platforms'
// tables live here, the Windows one with its codes as plain numbers, so that each can be tested
// anywhere.
namespace PortReasons {

enum class Operation
{
    Open,
    Write,
};

// `error` is an errno value; `systemText` what strerror says of it.
PortFailure posixFailure(int error, Operation operation, std::u16string systemText);

// `error` is a GetLastError() value; `systemText` what FormatMessage says of it.
PortFailure windowsFailure(std::uint32_t error, Operation operation, std::u16string systemText);

} // namespace PortReasons
