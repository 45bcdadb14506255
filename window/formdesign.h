// SPDX-License-Identifier: MIT
#pragma once

#include "portfailure.h"
#include "sendcommand.h"

#include <string>
#include <string_view>

// The window as it was designed, and every text the user reads, in one place that both front ends
// (Qt on Linux, Win32 on Windows) read: no toolkit types here.
namespace FormDesign {

enum class ControlKind
{
    TextBox,
    Label,
    Button,
};

// Positions and sizes in twips (1440 to the inch), relative to the client area's top-left corner.
// `labelFor` names the text box a label stands beside: a screen reader names the box after it.
struct Control
{
    const char *name;
    ControlKind kind;
    int left, top, width, height;
    const char16_t *caption;
    const char *labelFor = nullptr;
};

// Read from formdesign.json when the build is configured, beside the harness that reads it too:
//   kClientWidth, kClientHeight  the client area, in twips
//   kTwipsPerInch                1440
//   kControls[]                  the controls in tab order. Labels never take the focus, so Tab visits
//                                Text1, Text2, Command2, Command1; neither button is the default, so
//                                Enter in the input box is a line break.
//   kFormCaption, kOkCaption     the window's title and the only button a message box has
#include "formdesign_table.inc"

// What a screen reader calls the control named `name`: a text box is called by all the labels that
// stand for it, in the order they are read (a sighted user reads both lines of a two-line label as
// one sentence), any other control by its caption. Empty for a name not in the table.
std::u16string accessibleName(std::string_view name);

// Written to standard error when there is no desktop to show the window on (started over SSH, or
// from a console): no message box can show then.
inline constexpr char16_t kNoDisplayMessage[] =
    u"qm47t-converter 需要图形桌面才能运行：找不到可用的显示（环境变量 DISPLAY 或 WAYLAND_DISPLAY "
    u"未设置，或无法连接）。请在桌面环境中启动本程序。";
// Written instead when a display answers but Qt could not use it (its platform plug-in missing or
// broken, access to the display refused); Qt's own lines follow, since only they say which.
inline constexpr char16_t kNoGuiMessage[] =
    u"qm47t-converter 无法启动图形界面：显示可以连接，但 Qt 无法使用它。Qt 报告的原因（英文）如下：";

// Twips to pixels at `dpi` dots per inch: 15 twips a pixel at 96.
constexpr int toPixels(int twips, int dpi = 96)
{
    return twips * dpi / kTwipsPerInch;
}

enum class Severity
{
    Warning,  // the user can put it right and go on
    Critical, // the port failed
};

struct Message
{
    Severity severity;
    std::u16string text;
};

// Where the help for a port's failure is: the manual page and the udev rule the Linux package
// installs, or the steps in Windows' Device Manager.
enum class Platform
{
    Linux,
    Windows,
};
#ifdef _WIN32
inline constexpr Platform kPlatform = Platform::Windows;
#else
inline constexpr Platform kPlatform = Platform::Linux;
#endif

// Why the port failed, in words the user can act on: the usual causes with their remedy, any other
// with the system's own code and text after a Chinese sentence, so that nothing is lost.
std::u16string portReason(const PortFailure &failure, Platform platform = kPlatform);

// The port's messages name COM1 and, where another name stands for it, the device that was tried:
// "COM1（/dev/ttyS0）". `device` is the channel's port name.

// What a screen reader says after a frame of `bytes` bytes went out.
std::u16string sentAnnouncement(std::size_t bytes);
// What the user reads when a click on the convert button sends nothing.
Message sendFailureMessage(const SendFailure &failure, std::u16string_view device);
// COM1 could not be claimed at start; the program then ends.
Message openFailureMessage(std::u16string_view device, const PortFailure &failure);
// The port did not close cleanly on Exit.
Message closeFailureMessage(std::u16string_view device, const PortFailure &failure);

} // namespace FormDesign
