// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QString>

#include <optional>

class QByteArray;
class QSerialPort;

// Owns the port the QM47T module hangs on: 9600 bit/s, 8 data bits, no parity, 1 stop bit, no flow
// control, DTR raised, RTS low. Every operation returns std::nullopt on success and the reason
// otherwise; nothing here talks to the user.
class SerialChannel : public QObject
{
    Q_OBJECT

public:
    using Failure = std::optional<QString>;

    // COM1: "COM1" on Windows, /dev/ttyS0 elsewhere (a bare "COM1" would mean /dev/COM1 there).
    static QString com1PortName();

    explicit SerialChannel(const QString &portName = com1PortName(), QObject *parent = nullptr);
    ~SerialChannel() override;

    [[nodiscard]] Failure open();
    // Returns once the whole frame is in the operating system's hands, so a close straight after
    // cannot drop it; gives up after a bounded wait if the line does not take it.
    [[nodiscard]] Failure output(const QByteArray &frame);
    // Lets the bytes still queued leave the wire at the port's own speed, then releases the port.
    [[nodiscard]] Failure close();

    bool portOpen() const;

private:
    Failure drain();

    QString m_portName;
    QSerialPort *m_port = nullptr;
};
