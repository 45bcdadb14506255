// SPDX-License-Identifier: MIT
#pragma once

#include <string>

// On Windows wchar_t is a UTF-16 code unit, so the core's text goes to the W functions as it is.
static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows text is UTF-16");

inline const wchar_t *asWide(const char16_t *text)
{
    return reinterpret_cast<const wchar_t *>(text);
}

inline const wchar_t *asWide(const std::u16string &text)
{
    return asWide(text.c_str());
}
