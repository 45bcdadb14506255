// SPDX-License-Identifier: MIT
#include "sendcommand.h"

std::optional<SendFailure> SendCommand(const SendIo &io)
{
    io.setMonitorText(std::u16string());

    const std::u16string text = LineBreaksToCrLf(io.inputText());
    UnicodeFrame frame;
    try {
        frame = BuildUnicodeFrame(text);
    } catch (const OverflowError &error) {
        const auto kind = error.codeUnits() == 0 ? SendFailure::Kind::Empty : SendFailure::Kind::TooLong;
        return SendFailure{kind, error.codeUnits(), {}};
    }

    if (std::optional<std::u16string> reason = io.output(frame))
        return SendFailure{SendFailure::Kind::Output, text.size(), std::move(*reason)};

    io.setMonitorText(u"\r\n" + FormatMonitorDump(frame) + u"\r\n");
    return std::nullopt;
}
