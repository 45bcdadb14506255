// SPDX-License-Identifier: MIT
#include "formdesign.h"

namespace FormDesign {

namespace {

std::u16string decimal(std::size_t value)
{
    const std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}

std::u16string joined(std::u16string_view prefix, std::u16string_view reason)
{
    std::u16string text(prefix);
    text += reason;
    return text;
}

} // namespace

Message sendFailureMessage(const SendFailure &failure)
{
    switch (failure.kind) {
    case SendFailure::Kind::Empty:
        return {Severity::Warning, u"请先输入需要转换的字母、数字或汉字。"};
    case SendFailure::Kind::TooLong:
        return {Severity::Warning, u"输入内容过长：最多 " + decimal(kMaxCodeUnits) +
                                       u" 个 UTF-16 码元，当前为 " + decimal(failure.codeUnits) + u" 个。"};
    case SendFailure::Kind::Output:
        break;
    }
    return {Severity::Critical, joined(u"串口 COM1 写入失败：", failure.reason)};
}

Message openFailureMessage(std::u16string_view reason)
{
    return {Severity::Critical, joined(u"无法打开串口 COM1：", reason)};
}

Message closeFailureMessage(std::u16string_view reason)
{
    return {Severity::Critical, joined(u"关闭串口 COM1 失败：", reason)};
}

} // namespace FormDesign
