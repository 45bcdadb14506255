// SPDX-License-Identifier: MIT
#pragma once

#include "portfailure.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Owns the port the QM47T module hangs on: 9600 bit/s, 8 data bits, no parity, 1 stop bit, no flow
// control, DTR raised, RTS low. Every operation returns std::nullopt on success and why not otherwise,
// as a value (portfailure.h): the words for it are the window's. Each platform
// has its own implementation behind this header: POSIX terminals on Linux, the Win32 communications
// API on Windows.
class SerialChannel
{
public:
    using Failure = std::optional<PortFailure>;

    // COM1: "COM1" on Windows. On Linux /dev/COM1 where the system gives the module's port that
    // name (a udev rule for a USB adapter), else the first serial port, /dev/ttyS0.
    static std::u16string com1PortName();

    explicit SerialChannel(std::u16string portName = com1PortName());
    ~SerialChannel();
    SerialChannel(const SerialChannel &) = delete;
    SerialChannel &operator=(const SerialChannel &) = delete;

    [[nodiscard]] Failure open();
    // Returns once the frame is committed: in the operating system's hands or, where its buffer is
    // full, held here to follow what went before, so that it goes to the line whole and a close
    // straight after cannot drop it. Refuses the frame whole, writing none of it, when the line has
    // taken nothing for a while (serialport.h says what the channel promises).
    [[nodiscard]] Failure output(const std::vector<std::uint8_t> &bytes);
    // Lets the bytes still queued leave the wire at the port's own speed, then releases the port.
    [[nodiscard]] Failure close();

    // Part of an accepted frame that the system has not taken yet, since the line stopped in the
    // middle of it. It goes before anything else, at the latest with the next output() or close();
    // an event loop sends it as soon as the line takes bytes again by calling pushPending() whenever
    // pendingHandle() is ready: the port's descriptor writable (POSIX), the write's event set
    // (Windows). pushPending() never waits, and a failure stays for the next output() or close() to
    // report as well.
    bool hasPending() const;
    [[nodiscard]] Failure pushPending();
#ifdef _WIN32
    using Handle = void *;
#else
    using Handle = int;
#endif
    Handle pendingHandle() const;

    bool portOpen() const;
    // The device this channel stands for, so that messages can name what was tried.
    const std::u16string &portName() const;

    // The contract both platforms keep, with each platform's side derived from it (serialport.h).
    class Port;

private:
    std::unique_ptr<Port> m_port;
};
