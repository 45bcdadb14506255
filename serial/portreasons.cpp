// SPDX-License-Identifier: MIT
#include "portreasons.h"

#include <cerrno>

namespace PortReasons {

namespace {

using Reason = PortFailure::Reason;

enum class When
{
    Open,
    Write,
    Either,
};

struct Row
{
    long error;
    When when;
    Reason reason;
};

// The same code can mean different things at open and at write: an I/O error at open is a ttyS0
// with nothing behind it, at write a device that went away.
constexpr Row kPosixTable[] = {
    {ENOENT, When::Open, Reason::NoDevice},      {ENODEV, When::Open, Reason::NoDevice},
    {ENXIO, When::Open, Reason::NoDevice},       {EIO, When::Open, Reason::NoHardware},
    {ENOTTY, When::Either, Reason::NotSerial},   {EACCES, When::Either, Reason::NoPermission},
    {EPERM, When::Either, Reason::NoPermission}, {EBUSY, When::Open, Reason::Held},
    {EWOULDBLOCK, When::Open, Reason::Held}, // another program's flock on the device
    {EIO, When::Write, Reason::Disconnected},    {ENXIO, When::Write, Reason::Disconnected},
    {ENODEV, When::Write, Reason::Disconnected},
};

// Windows: no permission row, since a port is anyone's who gets it first. Once an adapter is
// unplugged, writes on the handle still open fail with "access denied" or "bad command".
constexpr Row kWindowsTable[] = {
    {2, When::Open, Reason::NoDevice},          // ERROR_FILE_NOT_FOUND
    {3, When::Open, Reason::NoDevice},          // ERROR_PATH_NOT_FOUND
    {1, When::Either, Reason::NotSerial},       // ERROR_INVALID_FUNCTION
    {5, When::Open, Reason::Held},              // ERROR_ACCESS_DENIED
    {32, When::Open, Reason::Held},             // ERROR_SHARING_VIOLATION
    {31, When::Either, Reason::Disconnected},   // ERROR_GEN_FAILURE
    {1617, When::Either, Reason::Disconnected}, // ERROR_DEVICE_REMOVED
    {5, When::Write, Reason::Disconnected},     // ERROR_ACCESS_DENIED
    {22, When::Write, Reason::Disconnected},    // ERROR_BAD_COMMAND
    {21, When::Write, Reason::Disconnected},    // ERROR_NOT_READY: under Wine, a device that hung up
};

template <std::size_t N>
PortFailure lookUp(const Row (&table)[N], long long error, Operation operation, std::u16string systemText)
{
    const When when = operation == Operation::Open ? When::Open : When::Write;
    PortFailure failure{Reason::System, error, std::move(systemText)};
    for (const Row &row : table) {
        if (row.error == error && (row.when == when || row.when == When::Either)) {
            failure.reason = row.reason;
            break;
        }
    }
    return failure;
}

} // namespace

PortFailure posixFailure(int error, Operation operation, std::u16string systemText)
{
    return lookUp(kPosixTable, error, operation, std::move(systemText));
}

PortFailure windowsFailure(std::uint32_t error, Operation operation, std::u16string systemText)
{
    return lookUp(kWindowsTable, error, operation, std::move(systemText));
}

} // namespace PortReasons
