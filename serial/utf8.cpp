// SPDX-License-Identifier: MIT
#include "utf8.h"

namespace {

constexpr char16_t kReplacement = u'\uFFFD';

void appendUtf16(std::u16string &out, char32_t c)
{
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
        return;
    }
    out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
    out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
}

struct Lead
{
    int length;               // bytes in the whole sequence; 0: this byte cannot start one
    unsigned char secondLow;  // the second byte's range: narrower after E0, ED, F0 and F4, which
    unsigned char secondHigh; // is what rules out overlong forms, surrogates and beyond U+10FFFF
};

Lead lead(unsigned char byte)
{
    if (byte < 0x80)
        return {1, 0, 0};
    if (byte >= 0xC2 && byte <= 0xDF)
        return {2, 0x80, 0xBF};
    if (byte == 0xE0)
        return {3, 0xA0, 0xBF};
    if (byte == 0xED)
        return {3, 0x80, 0x9F};
    if (byte >= 0xE1 && byte <= 0xEF)
        return {3, 0x80, 0xBF};
    if (byte == 0xF0)
        return {4, 0x90, 0xBF};
    if (byte == 0xF4)
        return {4, 0x80, 0x8F};
    if (byte >= 0xF1 && byte <= 0xF3)
        return {4, 0x80, 0xBF};
    // 80-BF continue a sequence, C0 and C1 could only start overlong ones, F5-FF nothing at all.
    return {0, 0, 0};
}

} // namespace

std::string toUtf8(std::u16string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        else if (c >= 0xD800 && c < 0xE000)
            c = kReplacement; // a lone surrogate has no UTF-8 form: ED A0 80 would be invalid there
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string fromUtf8(std::string_view text)
{
    std::u16string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto first = static_cast<unsigned char>(text[i]);
        const Lead start = lead(first);
        ++i;
        if (start.length == 0) {
            out += kReplacement;
            continue;
        }
        char32_t c = start.length == 1 ? first : first & (0xFF >> (start.length + 1));
        int taken = 1;
        for (; taken < start.length && i < text.size(); ++taken, ++i) {
            const auto next = static_cast<unsigned char>(text[i]);
            const unsigned char low = taken == 1 ? start.secondLow : 0x80;
            const unsigned char high = taken == 1 ? start.secondHigh : 0xBF;
            if (next < low || next > high)
                break;
            c = (c << 6) | (next & 0x3F);
        }
        // A sequence cut short: the bytes taken so far stand for one replacement, and the byte that
        // did not fit is read again as the start of what follows.
        if (taken < start.length)
            out += kReplacement;
        else
            appendUtf16(out, c);
    }
    return out;
}
