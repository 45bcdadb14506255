// SPDX-License-Identifier: MIT
#include "serialchannel.h"

#include "serialline.h"

#include <windows.h>

#include <chrono>
#include <memory>
#include <string>
#include <type_traits>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows text is UTF-16");

namespace {

struct HandleCloser
{
    void operator()(HANDLE handle) const noexcept { ::CloseHandle(handle); }
};
// Holds only a real handle: CreateFileW's failure value, INVALID_HANDLE_VALUE, is never stored.
using UniqueHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

// The one place where a system error code becomes words for the user.
std::u16string systemReason(DWORD code)
{
    constexpr DWORD kFlags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    wchar_t *buffer = nullptr;
    auto format = [&](DWORD language) {
        return ::FormatMessageW(kFlags, nullptr, code, language, reinterpret_cast<wchar_t *>(&buffer), 0,
                                nullptr);
    };
    DWORD length = format(MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED));
    if (length == 0)
        length = format(0);

    std::u16string text;
    if (length != 0) {
        text.assign(reinterpret_cast<const char16_t *>(buffer), length);
        ::LocalFree(buffer);
    }
    // System messages end in a line break, which would show as an empty line in a message box.
    while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' '))
        text.pop_back();
    if (text.empty()) {
        const std::string digits = std::to_string(code);
        text = u"系统错误 " + std::u16string(digits.begin(), digits.end());
    }
    return text;
}

std::u16string lastReason()
{
    return systemReason(::GetLastError());
}

// What a port reports once its device has gone (a USB adapter pulled out; under Wine, a device that
// hung up): the handle is of no further use, so later sends say the port is not open instead of
// failing again and again.
bool deviceGone(DWORD code)
{
    return code == ERROR_DEVICE_REMOVED || code == ERROR_BAD_COMMAND || code == ERROR_ACCESS_DENIED ||
           code == ERROR_NOT_READY;
}

DWORD toMilliseconds(std::chrono::milliseconds duration)
{
    return static_cast<DWORD>(duration.count());
}

} // namespace

class SerialChannel::Port
{
public:
    explicit Port(std::u16string portName) : m_name(std::move(portName)) {}

    Failure open();
    Failure output(const std::vector<std::uint8_t> &bytes);
    Failure close();
    bool isOpen() const { return m_handle != nullptr; }

private:
    Failure configure(HANDLE handle);
    Failure drain();

    std::u16string m_name;
    UniqueHandle m_handle;
};

SerialChannel::Failure SerialChannel::Port::open()
{
    if (m_handle)
        return std::nullopt;

    // The device namespace reaches every port; a bare "COM10" and above would be taken as a file.
    const std::u16string path = u"\\\\.\\" + m_name;
    // Read access too, although nothing is ever read: a port opened for writing alone refuses to be
    // configured (access denied), and its line would stay as it was, translating line ends.
    const HANDLE raw = ::CreateFileW(reinterpret_cast<const wchar_t *>(path.c_str()),
                                     GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (raw == INVALID_HANDLE_VALUE)
        return lastReason();
    UniqueHandle handle(raw);

    if (Failure failure = configure(handle.get()))
        return failure;
    m_handle = std::move(handle);
    return std::nullopt;
}

SerialChannel::Failure SerialChannel::Port::configure(HANDLE handle)
{
    if (!::SetupComm(handle, SerialLine::kReadBufferSize, SerialLine::kTransmitBufferSize))
        return lastReason();

    // Start from the driver's own state so that the fields left alone (XON/XOFF characters and
    // limits) hold values it accepts.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(handle, &dcb))
        return lastReason();
    dcb.BaudRate = SerialLine::kBaudRate;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = FALSE;
    // Wine opens a COM port whose device is missing and fails only here, so this is where an
    // absent port is found out.
    if (!::SetCommState(handle, &dcb))
        return lastReason();

    // A pseudo-terminal or a USB adapter without modem lines cannot set DTR or RTS; that is no
    // reason to refuse the port, since the module does not need them.
    for (const DWORD function : {DWORD{SETDTR}, DWORD{CLRRTS}}) {
        if (!::EscapeCommFunction(handle, function)) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_NOT_SUPPORTED)
                return systemReason(error);
        }
    }
    return std::nullopt;
}

SerialChannel::Failure SerialChannel::Port::output(const std::vector<std::uint8_t> &bytes)
{
    if (!m_handle)
        return SerialLine::kNotOpenReason;

    const HANDLE handle = m_handle.get();
    const auto size = static_cast<DWORD>(bytes.size());
    // The whole write gets one deadline: the frame's time on the wire plus the grace for a slow
    // machine. Reads would return at once, though nothing reads.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.WriteTotalTimeoutConstant = toMilliseconds(SerialLine::writeDeadline(size));
    if (!::SetCommTimeouts(handle, &timeouts))
        return lastReason();

    DWORD written = 0;
    const BOOL done = ::WriteFile(handle, bytes.data(), size, &written, nullptr);
    const DWORD error = done ? ERROR_SUCCESS : ::GetLastError();
    if (done && written == size)
        return std::nullopt;

    // Whatever the driver still holds must not trail out later, glued to the next frame.
    ::PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR);
    // A write that runs out of time completes with fewer bytes, or with a timeout error.
    if (done || error == ERROR_SEM_TIMEOUT || error == ERROR_TIMEOUT)
        return SerialLine::kStalledReason;
    if (deviceGone(error))
        m_handle.reset();
    return systemReason(error);
}

SerialChannel::Failure SerialChannel::Port::close()
{
    if (!m_handle)
        return std::nullopt;
    const Failure failure = drain();
    // A stalled line would otherwise hold the close itself up while the driver waits for it.
    if (failure)
        ::PurgeComm(m_handle.get(), PURGE_TXABORT | PURGE_TXCLEAR);
    m_handle.reset();
    return failure;
}

SerialChannel::Failure SerialChannel::Port::drain()
{
    // Closing may hand the port back to its previous settings, so bytes still queued would leave at
    // the wrong speed, or not at all. Wait until the driver's queue is empty (bounded, in case the
    // line is stalled), then let FlushFileBuffers wait out the last bytes in the UART itself.
    const HANDLE handle = m_handle.get();
    const ULONGLONG deadline =
        ::GetTickCount64() + toMilliseconds(SerialLine::writeDeadline(SerialLine::kTransmitBufferSize));
    COMSTAT status{};
    DWORD errors = 0;
    while (::ClearCommError(handle, &errors, &status) && status.cbOutQue > 0) {
        if (::GetTickCount64() >= deadline)
            return SerialLine::kStalledReason;
        ::Sleep(toMilliseconds(SerialLine::wireTime(status.cbOutQue)) / 2 + 1);
    }
    // A device that has gone takes nothing more, and there is nothing left to wait for.
    if (!::FlushFileBuffers(handle)) {
        const DWORD error = ::GetLastError();
        if (!deviceGone(error))
            return systemReason(error);
    }
    return std::nullopt;
}

std::u16string SerialChannel::com1PortName()
{
    return u"COM1";
}

SerialChannel::SerialChannel(std::u16string portName) : m_port(std::make_unique<Port>(std::move(portName))) {}

SerialChannel::~SerialChannel()
{
    (void)close();
}

SerialChannel::Failure SerialChannel::open()
{
    return m_port->open();
}

SerialChannel::Failure SerialChannel::output(const std::vector<std::uint8_t> &bytes)
{
    return m_port->output(bytes);
}

SerialChannel::Failure SerialChannel::close()
{
    return m_port->close();
}

bool SerialChannel::portOpen() const
{
    return m_port->isOpen();
}
