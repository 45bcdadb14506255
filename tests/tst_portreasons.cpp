// SPDX-License-Identifier: MIT
// Which reason each system error stands for, at open and at write, on both platforms; any other
// keeps the system's code and text. The words for each reason are in tst_formcontroller.
#include "portreasons.h"

#include "qtbridge.h"

#include <QTest>

#include <cerrno>

using PortReasons::Operation;
using Reason = PortFailure::Reason;

Q_DECLARE_METATYPE(Operation)
Q_DECLARE_METATYPE(Reason)

class tst_PortReasons : public QObject
{
    Q_OBJECT

private slots:
    void reasons_data();
    void reasons();
};

void tst_PortReasons::reasons_data()
{
    QTest::addColumn<bool>("windows");
    QTest::addColumn<qint64>("error");
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<Reason>("reason");
    const auto row = [](bool windows, const char *name, int error, Operation operation, Reason reason) {
        QTest::newRow(name) << windows << qint64(error) << operation << reason;
    };
    const auto posix = [&row](auto... columns) { row(false, columns...); };
    const auto windows = [&row](auto... columns) { row(true, columns...); };
    posix("ENOENT at open", ENOENT, Operation::Open, Reason::NoDevice);
    posix("ENXIO at open", ENXIO, Operation::Open, Reason::NoDevice);
    posix("ENODEV at open", ENODEV, Operation::Open, Reason::NoDevice);
    posix("EIO at open: no chip behind ttyS0", EIO, Operation::Open, Reason::NoHardware);
    posix("ENOTTY", ENOTTY, Operation::Open, Reason::NotSerial);
    posix("EACCES", EACCES, Operation::Open, Reason::NoPermission);
    posix("EPERM", EPERM, Operation::Open, Reason::NoPermission);
    posix("EBUSY", EBUSY, Operation::Open, Reason::Held);
    posix("EWOULDBLOCK: another program's flock", EWOULDBLOCK, Operation::Open, Reason::Held);
    posix("EIO at write: unplugged", EIO, Operation::Write, Reason::Disconnected);
    posix("ENXIO at write", ENXIO, Operation::Write, Reason::Disconnected);
    posix("ENODEV at write", ENODEV, Operation::Write, Reason::Disconnected);
    posix("ENOTTY at write", ENOTTY, Operation::Write, Reason::NotSerial);
    posix("EINVAL: the system's own", EINVAL, Operation::Write, Reason::System);
    posix("EBUSY at write: the system's own", EBUSY, Operation::Write, Reason::System);
    windows("ERROR_FILE_NOT_FOUND", 2, Operation::Open, Reason::NoDevice);
    windows("ERROR_PATH_NOT_FOUND", 3, Operation::Open, Reason::NoDevice);
    windows("ERROR_INVALID_FUNCTION", 1, Operation::Open, Reason::NotSerial);
    windows("ERROR_ACCESS_DENIED at open", 5, Operation::Open, Reason::Held);
    windows("ERROR_SHARING_VIOLATION", 32, Operation::Open, Reason::Held);
    windows("ERROR_ACCESS_DENIED at write: unplugged", 5, Operation::Write, Reason::Disconnected);
    windows("ERROR_BAD_COMMAND at write", 22, Operation::Write, Reason::Disconnected);
    windows("ERROR_NOT_READY at write", 21, Operation::Write, Reason::Disconnected);
    windows("ERROR_GEN_FAILURE", 31, Operation::Write, Reason::Disconnected);
    windows("ERROR_DEVICE_REMOVED", 1617, Operation::Write, Reason::Disconnected);
    windows("ERROR_INVALID_FUNCTION at write", 1, Operation::Write, Reason::NotSerial);
    windows("ERROR_INVALID_PARAMETER: the system's own", 87, Operation::Write, Reason::System);
}

// Every row at write doubles as a row for the channels' one test of a device that has gone: the
// device is taken for gone exactly where the reason says so.
void tst_PortReasons::reasons()
{
    QFETCH(bool, windows);
    QFETCH(qint64, error);
    QFETCH(Operation, operation);
    QFETCH(Reason, reason);
    const std::u16string text = u"the system's text";
    const PortFailure failure = windows ? PortReasons::windowsFailure(std::uint32_t(error), operation, text)
                                        : PortReasons::posixFailure(int(error), operation, text);
    QCOMPARE(failure, (PortFailure{reason, error, text}));
}

QTEST_APPLESS_MAIN(tst_PortReasons)
#include "tst_portreasons.moc"
