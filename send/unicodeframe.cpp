// SPDX-License-Identifier: MIT
#include "unicodeframe.h"

namespace {

// Converts into a byte-wide quantity, refusing anything outside 0..255.
std::uint8_t toByte(long long value, std::size_t codeUnits)
{
    if (value < 0 || value > 255)
        throw OverflowError(codeUnits);
    return static_cast<std::uint8_t>(value);
}

} // namespace

OverflowError::OverflowError(std::size_t codeUnits)
    : std::overflow_error("byte-wide overflow: " + std::to_string(codeUnits) + " code units"),
      m_codeUnits(codeUnits)
{
}

UnicodeFrame BuildUnicodeFrame(std::u16string_view text)
{
    const std::size_t length = text.size();
    // Checked before any arithmetic on it, so a huge text cannot wrap around into range.
    const std::uint8_t units =
        toByte(length > 255 ? 256 : static_cast<long long>(length), length);
    const std::uint8_t last = toByte(2LL * units - 1, length);

    UnicodeFrame frame(static_cast<std::size_t>(last) + 1, 0);
    // The counter is byte-wide too: with 128 code units the frame (indexes 0..255) fills completely,
    // but the step after index 254 would reach 256, so that text is refused as well.
    for (std::uint8_t i = 0; i <= last;) {
        const char16_t unit = text[i / 2];
        frame[i] = static_cast<std::uint8_t>(unit >> 8);
        frame[i + 1u] = static_cast<std::uint8_t>(unit & 0xFF);
        i = toByte(i + 2LL, length);
    }
    return frame;
}

std::u16string FormatMonitorDump(const UnicodeFrame &frame)
{
    static constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";
    std::u16string dump(3 * frame.size(), u' ');
    char16_t *out = dump.data();
    for (const std::uint8_t byte : frame) {
        out[0] = kHexDigits[byte >> 4];
        out[1] = kHexDigits[byte & 0x0F];
        out += 3;
    }
    return dump;
}
