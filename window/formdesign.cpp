// SPDX-License-Identifier: MIT
#include "formdesign.h"

namespace FormDesign {

namespace {

std::u16string decimal(std::size_t value)
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

} // namespace

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
        return {Severity::Warning, u"输入内容过长，未发送：最多 " + decimal(kMaxCodeUnits) + u" 个字符，现有 " +
                                       decimal(failure.codeUnits) +
                                       u" 个（换行和表情符号等少数字符各算 2 个）。请删减后再发送。"};
    case SendFailure::Kind::Output:
        break;
    }
    return {Severity::Critical, u"串口 " + portLabel(device, u" ") + u"写入失败：" + failure.reason};
}

Message openFailureMessage(std::u16string_view device, std::u16string_view reason)
{
    return {Severity::Critical, u"无法打开串口 " + portLabel(device) + u"：" + std::u16string(reason)};
}

Message closeFailureMessage(std::u16string_view device, std::u16string_view reason)
{
    return {Severity::Critical, u"关闭串口 " + portLabel(device, u" ") + u"失败：" + std::u16string(reason)};
}

} // namespace FormDesign
