// SPDX-License-Identifier: MIT
#pragma once

#include "portfailure.h"
#include "unicodeframe.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

struct SendFailure
{
    enum class Kind
    {
        Empty,   // nothing to send
        TooLong, // more than kMaxCodeUnits code units
        Output,  // the channel refused the frame
    };
    Kind kind;
    std::size_t codeUnits = 0;         // the length of the text, as it would go out
    std::optional<PortFailure> output; // Output: why the channel refused it
};

struct SendResult
{
    // What the monitor box shows now: CR LF, the dump and CR LF after a send, empty after a failure
    // (the box is cleared by every click, whatever became of it).
    std::u16string monitorText;
    std::optional<SendFailure> failure;
};

// Hands the whole frame to the port; returns why not when it cannot.
using FrameOutput = std::function<std::optional<PortFailure>(const UnicodeFrame &)>;

// One click on the convert button: frames the input box's text, code unit for code unit, and writes
// the frame in one output. Nothing is written for a text that cannot be framed, and the frame has
// left before the monitor text exists, so the monitor never shows a frame the port refused.
SendResult SendCommand(std::u16string_view text, const FrameOutput &output);
