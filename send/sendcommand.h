// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

// What one send needs of the window and of the serial channel, passed in so that the sequence runs
// the same with widgets and a port as with plain functions in a test.
struct SendIo
{
    std::function<QString()> inputText; // the input box's raw text
    std::function<void(const QString &)> setMonitorText;
    // Hands the whole frame to the port; returns the reason when it cannot.
    std::function<std::optional<QString>(const QByteArray &)> output;
};

struct SendFailure
{
    enum class Kind
    {
        Empty,   // nothing to send
        TooLong, // more than kMaxCodeUnits code units
        Output,  // the channel refused the frame
    };
    Kind kind;
    int codeUnits = 0; // the length of the text as it would go out, line breaks as CR LF
    QString reason;    // Output: the channel's own words
};

// One click on the convert button: clear the monitor, frame the input, write the frame in one
// output, then show CR LF, the dump and CR LF. On failure the monitor stays empty, nothing is
// written for a text that cannot be framed, and the input is never touched.
std::optional<SendFailure> SendCommand(const SendIo &io);
