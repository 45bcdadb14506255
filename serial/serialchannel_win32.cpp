// SPDX-License-Identifier: MIT
#include "serialchannel.h"

#include "portreasons.h"
#include "serialline.h"
#include "serialport.h"
#include "win32handle.h"

#include <windows.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows text is UTF-16");

namespace {

using PortReasons::Operation;

// The one place where a system error code becomes a failure: the usual causes a reason of their own,
// any other the system's own text (in Chinese where Windows has it so).
PortFailure systemReason(DWORD code, Operation operation)
{
    constexpr DWORD kFlags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    Win32::UniqueLocalText buffer;
    auto format = [&](DWORD language) {
        return ::FormatMessageW(kFlags, nullptr, code, language, reinterpret_cast<wchar_t *>(buffer.put()), 0,
                                nullptr);
    };
    DWORD length = format(MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED));
    if (length == 0)
        length = format(0);

    std::u16string text(reinterpret_cast<const char16_t *>(buffer.get()), buffer ? length : 0);
    // System messages end in a line break, which would show as an empty line in a message box.
    while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' '))
        text.pop_back();
    return PortReasons::windowsFailure(code, operation, std::move(text));
}

PortFailure lastReason(Operation operation)
{
    return systemReason(::GetLastError(), operation);
}

DWORD toMilliseconds(std::chrono::milliseconds duration)
{
    return static_cast<DWORD>(duration.count());
}

// The one write in flight, with what the system may still write into until it completes: its
// OVERLAPPED, the event that says it is done, and the bytes.
struct Write
{
    OVERLAPPED overlapped{};
    Win32::UniqueEvent done;
    std::vector<std::uint8_t> bytes;
};

// Overlapped I/O throughout, so that every wait has a bound of our own: some USB adapters' drivers
// ignore COMMTIMEOUTS, and a write that never returns would freeze the window.
class Win32Port final : public SerialChannel::Port
{
public:
    using Port::Port;

private:
    // The handle is kept only once it is configured: a port we could not set up is closed again.
    Failure openDevice() override;
    Failure configure(HANDLE handle);
    void release() override;
    bool isDeviceOpen() const override { return static_cast<bool>(m_handle); }

    // One write in flight at a time, m_write: it is what is pending, and its event what to wait on.
    Failure submit(const std::vector<std::uint8_t> &bytes, bool &started) override;
    Failure startWrite(std::vector<std::uint8_t> bytes);
    Failure pushPending() override;
    void cancelWrite();
    Failure writeFailed(DWORD error);
    bool hasPending() const override { return m_write != nullptr; }
    SerialChannel::Handle pendingHandle() const override { return m_write ? m_write->done.get() : nullptr; }
    void pause(Milliseconds most) override;

    Failure unsent(std::size_t &bytes) override;
    // Nothing more to wait for once the last write has completed and the driver's queue is empty:
    // serial.sys completes a write as its bytes reach the UART and lets the FIFO empty at close.
    // FlushFileBuffers would add nothing, and under Wine it throws the output queue away (its server
    // answers it with tcflush).
    bool finish() override { return true; }
    void discard() override;

    Win32::UniqueFile m_handle;
    std::unique_ptr<Write> m_write;
};

SerialChannel::Failure Win32Port::openDevice()
{
    // The device namespace reaches every port; a bare "COM10" and above would be taken as a file.
    const std::u16string path = u"\\\\.\\" + name();
    // Read access too, although nothing is ever read: a port opened for writing alone refuses to be
    // configured (access denied), and its line would stay as it was, translating line ends.
    const HANDLE raw =
        ::CreateFileW(reinterpret_cast<const wchar_t *>(path.c_str()), GENERIC_READ | GENERIC_WRITE, 0,
                      nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (raw == INVALID_HANDLE_VALUE)
        return lastReason(Operation::Open);
    Win32::UniqueFile handle(raw);

    if (Failure failure = configure(handle.get()))
        return failure;
    m_handle = std::move(handle);
    return std::nullopt;
}

SerialChannel::Failure Win32Port::configure(HANDLE handle)
{
    if (!::SetupComm(handle, SerialLine::kReadBufferSize, SerialLine::kTransmitBufferSize))
        return lastReason(Operation::Open);

    // Start from the driver's own state so that the fields left alone (XON/XOFF characters and
    // limits) hold values it accepts.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(handle, &dcb))
        return lastReason(Operation::Open);
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
    // Bytes received with a parity error read as '?', one of the line's fixed settings; at parity
    // none it never applies.
    dcb.fErrorChar = TRUE;
    dcb.ErrorChar = '?';
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = FALSE;
    // Wine opens a COM port whose device is missing and fails only here, so this is where an
    // absent port is found out.
    if (!::SetCommState(handle, &dcb))
        return lastReason(Operation::Open);

    // Reads return at once, though nothing reads. Writes get no timeout from the driver: it could
    // only cut a frame short, and the channel bounds its own waits.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (!::SetCommTimeouts(handle, &timeouts))
        return lastReason(Operation::Open);

    // A pseudo-terminal or a USB adapter without modem lines cannot set DTR or RTS; that is no
    // reason to refuse the port, since the module does not need them.
    for (const DWORD function : {DWORD{SETDTR}, DWORD{CLRRTS}}) {
        if (!::EscapeCommFunction(handle, function)) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_NOT_SUPPORTED)
                return systemReason(error, Operation::Open);
        }
    }
    return std::nullopt;
}

// The write is issued and left in flight: the system holds the frame from here on, whole.
SerialChannel::Failure Win32Port::submit(const std::vector<std::uint8_t> &bytes, bool &started)
{
    if (Failure failure = startWrite(bytes))
        return failure;
    started = true;
    return pushPending();
}

SerialChannel::Failure Win32Port::startWrite(std::vector<std::uint8_t> bytes)
{
    auto write = std::make_unique<Write>();
    write->done.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!write->done)
        return lastReason(Operation::Write);
    write->overlapped.hEvent = write->done.get();
    write->bytes = std::move(bytes);
    if (!::WriteFile(m_handle.get(), write->bytes.data(), static_cast<DWORD>(write->bytes.size()), nullptr,
                     &write->overlapped)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_IO_PENDING)
            return writeFailed(error);
    }
    m_write = std::move(write);
    return std::nullopt;
}

SerialChannel::Failure Win32Port::pushPending()
{
    if (!m_write)
        return std::nullopt;
    DWORD written = 0;
    if (!::GetOverlappedResult(m_handle.get(), &m_write->overlapped, &written, FALSE)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_INCOMPLETE)
            return std::nullopt;
        m_write.reset();
        return writeFailed(error);
    }
    const std::unique_ptr<Write> finished = std::move(m_write);
    // A driver that ends a write early all the same gets the rest as a write of its own, so that the
    // frame still goes whole.
    if (written < finished->bytes.size())
        return startWrite({finished->bytes.begin() + written, finished->bytes.end()});
    return std::nullopt;
}

// cbOutQue counts what the driver still has to send, the write in flight included (serial.sys).
// Under Wine it reads 0: there a write in flight counts whole until it completes.
SerialChannel::Failure Win32Port::unsent(std::size_t &bytes)
{
    COMSTAT status{};
    DWORD errors = 0;
    if (!::ClearCommError(m_handle.get(), &errors, &status))
        return writeFailed(::GetLastError());
    const std::size_t queued = status.cbOutQue;
    bytes = m_write && queued == 0 ? m_write->bytes.size() : queued;
    return std::nullopt;
}

void Win32Port::pause(Milliseconds most)
{
    if (m_write)
        ::WaitForSingleObject(m_write->done.get(), toMilliseconds(most));
    else
        ::Sleep(toMilliseconds(most));
}

void Win32Port::discard()
{
    cancelWrite();
    std::size_t queued = 0;
    if (!unsent(queued) && queued > 0)
        ::PurgeComm(m_handle.get(), PURGE_TXABORT | PURGE_TXCLEAR);
}

void Win32Port::release()
{
    cancelWrite();
    m_handle.reset();
}

// Bounded like every other wait. A write whose cancellation never completes keeps its OVERLAPPED,
// event and bytes for good, since the system may still write into them; a few hundred bytes, once.
void Win32Port::cancelWrite()
{
    if (!m_write)
        return;
    ::CancelIoEx(m_handle.get(), &m_write->overlapped);
    if (::WaitForSingleObject(m_write->done.get(), toMilliseconds(SerialLine::kStallGrace)) !=
        WAIT_OBJECT_0) {
        (void)m_write.release();
        return;
    }
    m_write.reset();
}

SerialChannel::Failure Win32Port::writeFailed(DWORD error)
{
    // A device that has gone (an adapter pulled out; under Wine, a device that hung up) takes
    // nothing more, and later sends say so rather than fail again and again.
    return failedWrite(systemReason(error, Operation::Write));
}

} // namespace

std::unique_ptr<SerialChannel::Port> SerialChannel::Port::create(std::u16string name)
{
    return std::make_unique<Win32Port>(std::move(name));
}

std::u16string SerialChannel::com1PortName()
{
    return u"COM1";
}
