// SPDX-License-Identifier: MIT
#include "serialchannel.h"

#include "serialline.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QSerialPort>
#include <QString>
#include <QThread>

#include <sys/ioctl.h>
#include <termios.h>

namespace {

std::u16string fromQString(const QString &text)
{
    return text.toStdU16String();
}

} // namespace

class SerialChannel::Port
{
public:
    explicit Port(const std::u16string &portName) : m_name(QString::fromStdU16String(portName)) {}

    Failure open();
    Failure output(const std::vector<std::uint8_t> &bytes);
    Failure close();
    bool isOpen() const { return m_port.isOpen(); }

private:
    Failure drain();

    QString m_name;
    QSerialPort m_port;
};

SerialChannel::Failure SerialChannel::Port::open()
{
    if (m_port.isOpen())
        return std::nullopt;

    m_port.setPortName(m_name);
    m_port.setBaudRate(static_cast<qint32>(SerialLine::kBaudRate));
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    m_port.setReadBufferSize(SerialLine::kReadBufferSize);

    // Write-only: the module's replies are never read, and without a read notifier a vanished
    // device cannot make the port report errors in a loop; the next output finds out instead.
    if (!m_port.open(QIODevice::WriteOnly))
        return fromQString(m_port.errorString());

    // A pseudo-terminal or a USB adapter without modem lines cannot set DTR or RTS; that is no
    // reason to refuse the port, since the module does not need them.
    const auto refused = [this](bool done) {
        return !done && m_port.error() != QSerialPort::UnsupportedOperationError;
    };
    if (refused(m_port.setDataTerminalReady(true)) || refused(m_port.setRequestToSend(false))) {
        const QString reason = m_port.errorString();
        m_port.close();
        return fromQString(reason);
    }
    m_port.clearError();
    return std::nullopt;
}

SerialChannel::Failure SerialChannel::Port::output(const std::vector<std::uint8_t> &bytes)
{
    if (!m_port.isOpen())
        return SerialLine::kNotOpenReason;

    const auto size = static_cast<qint64>(bytes.size());
    Failure failure;
    if (m_port.write(reinterpret_cast<const char *>(bytes.data()), size) != size) {
        failure = fromQString(m_port.errorString());
    } else {
        // QSerialPort only buffers; push the frame to the operating system now.
        const QDeadlineTimer deadline(SerialLine::writeDeadline(bytes.size()));
        while (m_port.bytesToWrite() > 0) {
            if (!m_port.waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) {
                const bool timedOut =
                    m_port.error() == QSerialPort::TimeoutError || m_port.error() == QSerialPort::NoError;
                failure =
                    timedOut ? std::u16string(SerialLine::kStalledReason) : fromQString(m_port.errorString());
                break;
            }
        }
    }
    if (failure) {
        // Whatever is still queued must not trail out later and be glued to the next frame.
        if (m_port.isOpen())
            m_port.clear(QSerialPort::Output);
        if (m_port.error() == QSerialPort::ResourceError)
            m_port.close();
        m_port.clearError();
    }
    return failure;
}

SerialChannel::Failure SerialChannel::Port::close()
{
    if (!m_port.isOpen())
        return std::nullopt;
    const Failure failure = drain();
    // A stalled line would otherwise hold the close itself up while the driver waits for it.
    if (failure)
        m_port.clear(QSerialPort::Output);
    m_port.close();
    return failure;
}

SerialChannel::Failure SerialChannel::Port::drain()
{
    const QDeadlineTimer deadline(SerialLine::writeDeadline(SerialLine::kTransmitBufferSize));
    while (m_port.bytesToWrite() > 0) {
        if (!m_port.waitForBytesWritten(static_cast<int>(deadline.remainingTime())))
            return SerialLine::kStalledReason;
    }
    // Closing restores the line settings the port had before we opened it, so bytes still in the
    // driver would leave at the wrong speed. Wait until the driver's queue is empty (bounded, in case
    // the line is stalled), then let tcdrain wait out the last few bytes in the UART itself.
    const int fd = static_cast<int>(m_port.handle());
    int queued = 0;
    while (::ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
        if (deadline.hasExpired())
            return SerialLine::kStalledReason;
        QThread::msleep(
            static_cast<unsigned long>(SerialLine::wireTime(static_cast<std::uint64_t>(queued)).count()) / 2 +
            1);
    }
    ::tcdrain(fd);
    return std::nullopt;
}

std::u16string SerialChannel::com1PortName()
{
    return u"/dev/ttyS0";
}

SerialChannel::SerialChannel(std::u16string portName) : m_port(std::make_unique<Port>(portName)) {}

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
