// SPDX-License-Identifier: MIT
#pragma once

#include "unicodeframe.h"

#include <functional>
#include <optional>
#include <string>

// What one send needs of the window and of the serial channel, passed in so that the sequence runs
// the same with widgets and a port as with plain functions in a test.
struct SendIo
{
    std::function<std::u16string()> inputText; // the input box's raw text
    std::function<void(std::u16string)> setMonitorText;
    // Hands the whole frame to the port; returns the reason when it cannot.
    std::function<std::optional<std::u16string>(const UnicodeFrame &)> output;
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
    std::size_t codeUnits = 0; // the length of the text as it would go out, line breaks as CR LF
    std::u16string reason;     // Output: the channel's own words
};

// One click on the convert button: clear the monitor, frame the input, write the frame in one
// output, then show CR LF, the dump and CR LF. On failure the monitor stays empty, nothing is
// written for a text that cannot be framed, and the input is never touched.
std::optional<SendFailure> SendCommand(const SendIo &io);
