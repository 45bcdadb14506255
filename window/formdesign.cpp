// SPDX-License-Identifier: MIT
#include "formdesign.h"

namespace FormDesign {

namespace {

template <class Integer> std::u16string decimal(Integer value)
{
    const std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}

// "COM1", or "COM1（/dev/ttyS0）" where another name stands for it. A space parts Latin from Chinese
// text, but a full-width bracket needs none, so `space` is added after a bare "COM1" only.
std::u16string portLabel(std::u16string_view device, std::u16string_view space = {})
{
    if (device == u"COM1" || device == u"\\\\.\\COM1")
        return u"COM1" + std::u16string(space);
    return u"COM1（" + std::u16string(device) + u"）";
}

// The help a user has at hand: on Linux the manual page and the example udev rule the package
// installs, on Windows the few steps in Device Manager themselves.
constexpr char16_t kNoDeviceLinux[] =
    u"找不到该设备。检查模块是否接好；模块接在 USB 转串口线上时，要用 udev 规则把它设为 /dev/COM1："
    u"见 man qm47t-converter 和示例规则 /usr/share/doc/qm47t-converter/examples/99-qm47t-com1.rules。";
constexpr char16_t kNoDeviceWindows[] =
    u"找不到该设备。检查模块是否接好；模块接在 USB 转串口线上时，要在设备管理器中把它设为 COM1：展开"
    u"“端口 (COM 和 LPT)”，打开该串口线的属性，在“端口设置”中点“高级”，把“COM 端口号”选为 COM1。";
// Most often a udev rule whose /dev/COM1 leads to something other than the adapter.
constexpr char16_t kNotSerialLinux[] =
    u"该设备不是串口。检查 udev 规则中 COM1 指向的设备是否是 USB 转串口线（/dev/ttyUSB0 或 "
    u"/dev/ttyACM0），以及模块的线缆是否接在这个串口上。";
constexpr char16_t kNotSerialWindows[] = u"该设备不是串口。在设备管理器的“端口 (COM 和 LPT)”中检查 COM1 "
                                         u"是否是模块所接的串口，以及模块的线缆是否接好。";

// Another program holds the port: named, with its process number, where its lock file says which;
// a lock left behind by a program that is no longer running keeps the port until it is removed.
std::u16string heldBy(const PortFailure &held)
{
    std::u16string text = u"串口正被另一个程序占用";
    if (held.pid > 0) {
        text += u"：进程 " + decimal(held.pid);
        if (!held.program.empty())
            text += u"（" + held.program + u"）";
    }
    text += u"。请先关闭该程序，再启动本程序。";
    if (!held.lockFile.empty())
        text += u"如果该程序已经不在运行，删除锁文件 " + held.lockFile + u" 后再试。";
    return text;
}

} // namespace

std::u16string portReason(const PortFailure &failure, Platform platform)
{
    using Reason = PortFailure::Reason;
    const bool onLinux = platform == Platform::Linux;
    switch (failure.reason) {
    case Reason::NotOpen:
        return u"串口未打开";
    case Reason::NoDevice:
        return onLinux ? kNoDeviceLinux : kNoDeviceWindows;
    case Reason::NoHardware:
        return u"这台电脑的 COM1 没有串口硬件；使用 USB 转串口线。";
    case Reason::NotSerial:
        return onLinux ? kNotSerialLinux : kNotSerialWindows;
    case Reason::NoPermission:
        // Not every user may use sudo (Debian installed with a root password gives the first user
        // none), so the step is the administrator's, as root or through sudo.
        return u"没有使用该串口的权限：需要加入 dialout 组。请管理员以 root 身份执行 adduser 你的用户名 "
               u"dialout，"
               u"然后重新登录。";
    case Reason::Held:
        return heldBy(failure);
    case Reason::Disconnected:
        // The program opens the port once, at start; after the device has gone only a new start
        // finds it.
        return u"串口设备已断开，可能是 USB 转串口线被拔出。请接好模块的线缆或 USB 转串口线，"
               u"然后重新启动本程序：程序不会自动重新打开串口。";
    case Reason::Stalled:
        return u"线路阻塞：串口已有一段时间没有送出任何数据，这次的内容没有发送。之前已发送的内容仍在排队，"
               u"线路恢复后会完整送出。";
    case Reason::DiscardedAtClose:
        // What the hardware still held when it stopped cannot be counted in frames.
        if (failure.frames == 0)
            return u"线路阻塞：关闭串口时队列中还有没有送出的数据，已被丢弃。";
        return u"线路阻塞：关闭串口时还有 " + decimal(failure.frames) + u" 帧数据没有完整送出，已被丢弃。";
    case Reason::System:
        break;
    }
    const std::u16string text = u"操作系统报告错误 " + decimal(failure.code);
    return failure.systemText.empty() ? text + u"。" : text + u"：" + failure.systemText;
}

std::u16string accessibleName(std::string_view name)
{
    for (const Control &control : kControls) {
        if (control.name != name)
            continue;
        if (control.kind != ControlKind::TextBox)
            return control.caption;
        std::u16string labels;
        for (const Control &label : kControls) {
            if (label.labelFor && label.labelFor == name)
                labels += label.caption;
        }
        return labels;
    }
    return {};
}

std::u16string sentAnnouncement(std::size_t bytes)
{
    return u"已发送 " + decimal(bytes) + u" 字节";
}

Message sendFailureMessage(const SendFailure &failure, std::u16string_view device)
{
    switch (failure.kind) {
    case SendFailure::Kind::Empty:
        return {Severity::Warning, u"请先输入需要转换的字母、数字或汉字。"};
    case SendFailure::Kind::TooLong:
        // Counted as the module counts them: a line break and a character outside the basic set
        // (an emoji, a rare hanzi) take two places each.
        return {Severity::Warning, u"输入内容过长，未发送：最多 " + decimal(kMaxCodeUnits) +
                                       u" 个字符，现有 " + decimal(failure.codeUnits) +
                                       u" 个（换行和表情符号等少数字符各算 2 个）。请删减后再发送。"};
    case SendFailure::Kind::Output:
        break;
    }
    return {Severity::Critical,
            u"串口 " + portLabel(device, u" ") + u"写入失败：" + portReason(*failure.output)};
}

Message openFailureMessage(std::u16string_view device, const PortFailure &failure)
{
    return {Severity::Critical, u"无法打开串口 " + portLabel(device) + u"：" + portReason(failure)};
}

Message closeFailureMessage(std::u16string_view device, const PortFailure &failure)
{
    return {Severity::Critical, u"关闭串口 " + portLabel(device, u" ") + u"失败：" + portReason(failure)};
}

} // namespace FormDesign
