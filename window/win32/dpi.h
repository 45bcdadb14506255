// SPDX-License-Identifier: MIT
#pragma once

#include "win32handle.h"

#include <windows.h>

#include <string>

// Sizes at the DPI of the monitor a window is on. The functions that know about a window's own
// DPI came with Windows 10; where they are missing (older Windows, Wine) the system DPI stands in.
namespace Dpi {

inline constexpr int kDesign = 96;

inline int scaled(int designPixels, int dpi)
{
    return ::MulDiv(designPixels, dpi, kDesign);
}

int ofWindow(HWND window);

// The system's message font at `dpi`, the one font of every control and message box; null when
// the system will not say, and the controls keep their own.
Win32::UniqueFont messageFont(int dpi);

// The outer size of a window of this style whose client area is `client`.
SIZE frameSize(SIZE client, HWND window, int dpi);

// Measures texts in one font: a memory DC with the font selected once serves every caption of a
// window, rather than a window DC fetched and a font selected for each.
class TextMeasure
{
public:
    // A null font measures in the DC's default font.
    explicit TextMeasure(HFONT font);

    // The size `text` takes, wrapped at `width` the way a label or a multi-line button wraps it.
    SIZE size(const std::u16string &text, int width) const;

private:
    // The font is selected out again before the DC goes.
    Win32::UniqueMemoryDc m_dc;
    Win32::UniqueSelection m_font;
};

} // namespace Dpi
