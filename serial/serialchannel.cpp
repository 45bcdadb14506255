// SPDX-License-Identifier: MIT
#include "serialchannel.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QSerialPort>
#include <QThread>

#include <chrono>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <termios.h>
#endif

namespace {

constexpr int kBaudRate = 9600;
constexpr int kBitsPerByte = 10; // start bit, 8 data bits, stop bit
constexpr qint64 kReadBufferSize = 1024;
constexpr qint64 kTransmitBufferSize = 512;
// On top of a frame's own time on the wire: how long a port may keep bytes back before we call the
// line stalled. Generous, since a busy machine can be slow to schedule the write.
constexpr std::chrono::milliseconds kStallGrace{1500};

std::chrono::milliseconds wireTime(qint64 bytes)
{
    return std::chrono::milliseconds{(bytes * kBitsPerByte * 1000 + kBaudRate - 1) / kBaudRate};
}

QString notOpenReason()
{
    return QStringLiteral("串口未打开");
}

QString stalledReason()
{
    return QStringLiteral("线路阻塞，数据未能在限定时间内发出");
}

} // namespace

QString SerialChannel::com1PortName()
{
#ifdef Q_OS_WIN
    return QStringLiteral("COM1");
#else
    return QStringLiteral("/dev/ttyS0");
#endif
}

SerialChannel::SerialChannel(const QString &portName, QObject *parent)
    : QObject(parent), m_portName(portName), m_port(new QSerialPort(this))
{
}

SerialChannel::~SerialChannel()
{
    (void)close();
}

SerialChannel::Failure SerialChannel::open()
{
    if (m_port->isOpen())
        return std::nullopt;

    m_port->setPortName(m_portName);
    m_port->setBaudRate(kBaudRate);
    m_port->setDataBits(QSerialPort::Data8);
    m_port->setParity(QSerialPort::NoParity);
    m_port->setStopBits(QSerialPort::OneStop);
    m_port->setFlowControl(QSerialPort::NoFlowControl);
    m_port->setReadBufferSize(kReadBufferSize);

    // Write-only: the module's replies are never read, and without a read notifier a vanished
    // device cannot make the port report errors in a loop; the next output finds out instead.
    if (!m_port->open(QIODevice::WriteOnly))
        return m_port->errorString();

    // A pseudo-terminal or a USB adapter without modem lines cannot set DTR or RTS; that is no
    // reason to refuse the port, since the module does not need them.
    const auto refused = [this](bool done) {
        return !done && m_port->error() != QSerialPort::UnsupportedOperationError;
    };
    if (refused(m_port->setDataTerminalReady(true)) || refused(m_port->setRequestToSend(false))) {
        const QString reason = m_port->errorString();
        m_port->close();
        return reason;
    }
    m_port->clearError();
    return std::nullopt;
}

SerialChannel::Failure SerialChannel::output(const QByteArray &frame)
{
    if (!m_port->isOpen())
        return notOpenReason();

    Failure failure;
    if (m_port->write(frame) != frame.size()) {
        failure = m_port->errorString();
    } else {
        // QSerialPort only buffers; push the frame to the operating system now.
        const QDeadlineTimer deadline(kStallGrace + wireTime(frame.size()));
        while (m_port->bytesToWrite() > 0) {
            if (!m_port->waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) {
                const bool timedOut =
                    m_port->error() == QSerialPort::TimeoutError || m_port->error() == QSerialPort::NoError;
                failure = timedOut ? stalledReason() : m_port->errorString();
                break;
            }
        }
    }
    if (failure) {
        // Whatever is still queued must not trail out later and be glued to the next frame.
        if (m_port->isOpen())
            m_port->clear(QSerialPort::Output);
        if (m_port->error() == QSerialPort::ResourceError)
            m_port->close();
        m_port->clearError();
    }
    return failure;
}

SerialChannel::Failure SerialChannel::close()
{
    if (!m_port->isOpen())
        return std::nullopt;
    const Failure failure = drain();
    // A stalled line would otherwise hold the close itself up while the driver waits for it.
    if (failure)
        m_port->clear(QSerialPort::Output);
    m_port->close();
    return failure;
}

bool SerialChannel::portOpen() const
{
    return m_port->isOpen();
}

SerialChannel::Failure SerialChannel::drain()
{
    const QDeadlineTimer deadline(kStallGrace + wireTime(kTransmitBufferSize));
    while (m_port->bytesToWrite() > 0) {
        if (!m_port->waitForBytesWritten(static_cast<int>(deadline.remainingTime())))
            return stalledReason();
    }
#ifdef Q_OS_UNIX
    // Closing restores the line settings the port had before we opened it, so bytes still in the
    // driver would leave at the wrong speed. Wait until the driver's queue is empty (bounded, in case
    // the line is stalled), then let tcdrain wait out the last few bytes in the UART itself.
    const int fd = static_cast<int>(m_port->handle());
    int queued = 0;
    while (::ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
        if (deadline.hasExpired())
            return stalledReason();
        QThread::msleep(static_cast<unsigned long>(wireTime(queued).count()) / 2 + 1);
    }
    ::tcdrain(fd);
#else
    m_port->flush();
#endif
    return std::nullopt;
}
