// SPDX-License-Identifier: MIT
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>

struct FontDeleter
{
    void operator()(HFONT font) const noexcept { ::DeleteObject(font); }
};
using UniqueFont = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;

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
UniqueFont messageFont(int dpi);

// The outer size of a window of this style whose client area is `client`.
SIZE frameSize(SIZE client, HWND window, int dpi);

// The size `text` takes in `font`, wrapped at `width` the way a label or a multi-line button
// wraps it.
SIZE textSize(HWND window, HFONT font, const std::u16string &text, int width);

} // namespace Dpi
