// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The text the QM47T module turns into an SMS travels as its UTF-16 code units, high byte first,
// with nothing added. The frame's last index and the counter that fills it are byte-wide, and their
// range checks are the only limit on the input: 1 to 127 code units give a frame of 2 to 254 bytes.

using UnicodeFrame = std::vector<std::uint8_t>;

// A byte-wide quantity left 0..255: the length itself (256 code units or more), the frame's last
// index 2*L - 1 (an empty text, or 129 to 255 code units) or the fill counter (exactly 128).
class OverflowError : public std::overflow_error
{
public:
    explicit OverflowError(std::size_t codeUnits);

    std::size_t codeUnits() const noexcept { return m_codeUnits; }

private:
    std::size_t m_codeUnits;
};

// The longest text that is framed, in UTF-16 code units.
inline constexpr int kMaxCodeUnits = 127;

// Returns the frame of `text`: byte 2k is the high byte of code unit k, byte 2k+1 its low byte.
// Throws OverflowError for an empty text or one of 128 code units or more.
UnicodeFrame BuildUnicodeFrame(std::u16string_view text);

// Returns two uppercase hex digits and a space per byte, the last byte included: "6C 49 5B 57 ".
std::u16string FormatMonitorDump(const UnicodeFrame &frame);
