// SPDX-License-Identifier: MIT
#include "portreasons.h"

#include <cerrno>
#include <string>

namespace PortReasons {

namespace {

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
    const char16_t *text;
};

// The help a user has at hand: on Linux the manual page and the example udev rule the package
// installs, on Windows the few steps in Device Manager themselves.
constexpr char16_t kNoDevicePosix[] =
    u"找不到该设备。检查模块是否接好；模块接在 USB 转串口线上时，要用 udev 规则把它设为 /dev/COM1："
    u"见 man qm47t-converter 和示例规则 /usr/share/doc/qm47t-converter/examples/99-qm47t-com1.rules。";
constexpr char16_t kNoDeviceWindows[] =
    u"找不到该设备。检查模块是否接好；模块接在 USB 转串口线上时，要在设备管理器中把它设为 COM1：展开"
    u"“端口 (COM 和 LPT)”，打开该串口线的属性，在“端口设置”中点“高级”，把“COM 端口号”选为 COM1。";
// The 8250 driver keeps /dev/ttyS0 even on a PC without the chip, and opening it then fails with EIO.
constexpr char16_t kNoHardware[] = u"这台电脑的 COM1 没有串口硬件；使用 USB 转串口线。";
// Most often a udev rule whose /dev/COM1 leads to something other than the adapter.
constexpr char16_t kNotSerialPosix[] =
    u"该设备不是串口。检查 udev 规则中 COM1 指向的设备是否是 USB 转串口线（/dev/ttyUSB0 或 "
    u"/dev/ttyACM0），以及模块的线缆是否接在这个串口上。";
constexpr char16_t kNotSerialWindows[] = u"该设备不是串口。在设备管理器的“端口 (COM 和 LPT)”中检查 COM1 "
                                         u"是否是模块所接的串口，以及模块的线缆是否接好。";
// Not every user may use sudo (Debian installed with a root password gives the first user none),
// so the step is the administrator's, as root or through sudo.
constexpr char16_t kNoPermission[] =
    u"没有使用该串口的权限：需要加入 dialout 组。请管理员以 root 身份执行 adduser 你的用户名 dialout，"
    u"然后重新登录。";
constexpr char16_t kHeld[] = u"串口正被另一个程序占用";
constexpr char16_t kCloseHolderFirst[] = u"请先关闭该程序，再启动本程序。";
// The program opens the port once, at start; after the device has gone only a new start finds it.
constexpr char16_t kGone[] = u"串口设备已断开，可能是 USB 转串口线被拔出。请接好模块的线缆或 USB 转串口线，"
                             u"然后重新启动本程序：程序不会自动重新打开串口。";

// The same code can mean different things at open and at write: an I/O error at open is a ttyS0
// with nothing behind it, at write a device that went away.
constexpr Row kPosixTable[] = {
    {ENOENT, When::Open, kNoDevicePosix},
    {ENODEV, When::Open, kNoDevicePosix},
    {ENXIO, When::Open, kNoDevicePosix},
    {EIO, When::Open, kNoHardware},
    {ENOTTY, When::Either, kNotSerialPosix},
    {EACCES, When::Either, kNoPermission},
    {EPERM, When::Either, kNoPermission},
    {EBUSY, When::Open, kHeld},
    {EWOULDBLOCK, When::Open, kHeld}, // another program's flock on the device
    {EIO, When::Write, kGone},
    {ENXIO, When::Write, kGone},
    {ENODEV, When::Write, kGone},
};

// Windows: no permission row, since a port is anyone's who gets it first. Once an adapter is
// unplugged, writes on the handle still open fail with "access denied" or "bad command".
constexpr Row kWindowsTable[] = {
    {2, When::Open, kNoDeviceWindows},    // ERROR_FILE_NOT_FOUND
    {3, When::Open, kNoDeviceWindows},    // ERROR_PATH_NOT_FOUND
    {1, When::Either, kNotSerialWindows}, // ERROR_INVALID_FUNCTION
    {5, When::Open, kHeld},               // ERROR_ACCESS_DENIED
    {32, When::Open, kHeld},              // ERROR_SHARING_VIOLATION
    {31, When::Either, kGone},            // ERROR_GEN_FAILURE
    {1617, When::Either, kGone},          // ERROR_DEVICE_REMOVED
    {5, When::Write, kGone},              // ERROR_ACCESS_DENIED
    {22, When::Write, kGone},             // ERROR_BAD_COMMAND
    {21, When::Write, kGone},             // ERROR_NOT_READY: under Wine, a device that hung up
};

std::u16string decimal(long long value)
{
    const std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}

template <std::size_t N> const Row *find(const Row (&table)[N], long long error, Operation operation)
{
    const When when = operation == Operation::Open ? When::Open : When::Write;
    for (const Row &row : table) {
        if (row.error == error && (row.when == when || row.when == When::Either))
            return &row;
    }
    return nullptr;
}

template <std::size_t N>
std::u16string lookUp(const Row (&table)[N], long long error, Operation operation,
                      std::u16string_view systemText)
{
    if (const Row *row = find(table, error, operation))
        return row->text == kHeld ? heldByAnotherProgram() : std::u16string(row->text);
    std::u16string text = u"操作系统报告错误 " + decimal(error);
    return systemText.empty() ? text + u"。" : text + u"：" + std::u16string(systemText);
}

template <std::size_t N> bool saysGone(const Row (&table)[N], long long error)
{
    const Row *row = find(table, error, Operation::Write);
    return row && row->text == kGone;
}

} // namespace

std::u16string posixReason(int error, Operation operation, std::u16string_view systemText)
{
    return lookUp(kPosixTable, error, operation, systemText);
}

std::u16string windowsReason(std::uint32_t error, Operation operation, std::u16string_view systemText)
{
    return lookUp(kWindowsTable, error, operation, systemText);
}

bool posixDeviceGone(int error)
{
    return saysGone(kPosixTable, error);
}

bool windowsDeviceGone(std::uint32_t error)
{
    return saysGone(kWindowsTable, error);
}

std::u16string heldByAnotherProgram(long pid, std::u16string_view program, std::u16string_view lockFile)
{
    std::u16string text = kHeld;
    if (pid > 0) {
        text += u"：进程 " + decimal(pid);
        if (!program.empty())
            text += u"（" + std::u16string(program) + u"）";
    }
    text += u"。";
    text += kCloseHolderFirst;
    // A lock left behind by a program that is no longer running keeps the port until it is removed.
    if (!lockFile.empty())
        text += u"如果该程序已经不在运行，删除锁文件 " + std::u16string(lockFile) + u" 后再试。";
    return text;
}

std::u16string notOpen()
{
    return u"串口未打开";
}

std::u16string disconnected()
{
    return kGone;
}

std::u16string stalled()
{
    return u"线路阻塞：串口已有一段时间没有送出任何数据，这次的内容没有发送。之前已发送的内容仍在排队，"
           u"线路恢复后会完整送出。";
}

std::u16string discardedAtClose(std::size_t frames)
{
    if (frames == 0)
        return u"线路阻塞：关闭串口时队列中还有没有送出的数据，已被丢弃。";
    return u"线路阻塞：关闭串口时还有 " + decimal(static_cast<long long>(frames)) +
           u" 帧数据没有完整送出，已被丢弃。";
}

} // namespace PortReasons
