// SPDX-License-Identifier: MIT
#include "linebreaks.h"

std::u16string lineBreaksToCrLf(std::u16string_view rawText)
{
    std::u16string text;
    text.reserve(rawText.size() + rawText.size() / 8);
    for (std::size_t i = 0; i < rawText.size(); ++i) {
        const char16_t unit = rawText[i];
        if (unit == u'\r' && i + 1 < rawText.size() && rawText[i + 1] == u'\n')
            continue; // already CR LF: the LF below writes the pair once
        if (unit == u'\u2029' || unit == u'\u2028' || unit == u'\n' || unit == u'\r')
            text += u"\r\n";
        else
            text += unit;
    }
    return text;
}
