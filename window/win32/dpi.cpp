// SPDX-License-Identifier: MIT
#include "dpi.h"

#include "win32text.h"

namespace {

// Looked up at run time so that the program still starts where user32 lacks the function.
template <typename Function> Function user32Function(const char *name)
{
    return Win32::procedure<Function>(::GetModuleHandleW(L"user32.dll"), name);
}

int systemDpi()
{
    const Win32::UniqueScreenDc screen(::GetDC(nullptr));
    const int dpi = screen ? ::GetDeviceCaps(screen.get(), LOGPIXELSY) : 0;
    return dpi > 0 ? dpi : Dpi::kDesign;
}

} // namespace

int Dpi::ofWindow(HWND window)
{
    using GetDpiForWindowFunction = UINT(WINAPI *)(HWND);
    static const auto getDpiForWindow = user32Function<GetDpiForWindowFunction>("GetDpiForWindow");
    if (getDpiForWindow) {
        if (const UINT dpi = getDpiForWindow(window))
            return static_cast<int>(dpi);
    }
    return systemDpi();
}

Win32::UniqueFont Dpi::messageFont(int dpi)
{
    using ForDpiFunction = BOOL(WINAPI *)(UINT, UINT, PVOID, UINT, UINT);
    static const auto parametersForDpi = user32Function<ForDpiFunction>("SystemParametersInfoForDpi");

    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (parametersForDpi &&
        parametersForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, static_cast<UINT>(dpi))) {
        return Win32::UniqueFont(::CreateFontIndirectW(&metrics.lfMessageFont));
    }
    if (!::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        return Win32::UniqueFont();
    // Given at the system DPI.
    metrics.lfMessageFont.lfHeight = ::MulDiv(metrics.lfMessageFont.lfHeight, dpi, systemDpi());
    return Win32::UniqueFont(::CreateFontIndirectW(&metrics.lfMessageFont));
}

SIZE Dpi::frameSize(SIZE client, HWND window, int dpi)
{
    using AdjustFunction = BOOL(WINAPI *)(LPRECT, DWORD, BOOL, DWORD, UINT);
    static const auto adjustForDpi = user32Function<AdjustFunction>("AdjustWindowRectExForDpi");

    const auto style = static_cast<DWORD>(::GetWindowLongPtrW(window, GWL_STYLE));
    const auto exStyle = static_cast<DWORD>(::GetWindowLongPtrW(window, GWL_EXSTYLE));
    RECT rect{0, 0, client.cx, client.cy};
    if (!adjustForDpi || !adjustForDpi(&rect, style, FALSE, exStyle, static_cast<UINT>(dpi)))
        ::AdjustWindowRectEx(&rect, style, FALSE, exStyle);
    return {rect.right - rect.left, rect.bottom - rect.top};
}

Dpi::TextMeasure::TextMeasure(HFONT font) : m_dc(::CreateCompatibleDC(nullptr))
{
    if (m_dc && font)
        m_font = Win32::select(m_dc.get(), font);
}

SIZE Dpi::TextMeasure::size(const std::u16string &text, int width) const
{
    RECT rect{0, 0, width, 0};
    if (!m_dc)
        return {0, 0};
    ::DrawTextW(m_dc.get(), asWide(text), -1, &rect,
                DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
    return {rect.right - rect.left, rect.bottom - rect.top};
}
