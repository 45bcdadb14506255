// SPDX-License-Identifier: MIT
#include "sendcommand.h"

SendResult SendCommand(std::u16string_view text, const FrameOutput &output)
{
    UnicodeFrame frame;
    try {
        frame = BuildUnicodeFrame(text);
    } catch (const OverflowError &error) {
        const auto kind = error.codeUnits() == 0 ? SendFailure::Kind::Empty : SendFailure::Kind::TooLong;
        return {{}, SendFailure{kind, error.codeUnits(), {}}};
    }

    if (std::optional<PortFailure> failure = output(frame))
        return {{}, SendFailure{SendFailure::Kind::Output, text.size(), std::move(failure)}};

    return {u"\r\n" + FormatMonitorDump(frame) + u"\r\n", std::nullopt};
}
