// SPDX-License-Identifier: MIT
#include "sendcommand.h"

#include "unicodeframe.h"

std::optional<SendFailure> SendCommand(const SendIo &io)
{
    io.setMonitorText(QString());

    const QString text = LineBreaksToCrLf(io.inputText());
    QByteArray frame;
    try {
        frame = BuildUnicodeFrame(text);
    } catch (const OverflowError &error) {
        const auto kind = error.codeUnits() == 0 ? SendFailure::Kind::Empty : SendFailure::Kind::TooLong;
        return SendFailure{kind, error.codeUnits(), {}};
    }

    if (std::optional<QString> reason = io.output(frame))
        return SendFailure{SendFailure::Kind::Output, static_cast<int>(text.size()), *reason};

    io.setMonitorText(QStringLiteral("\r\n") + FormatMonitorDump(frame) + QStringLiteral("\r\n"));
    return std::nullopt;
}
