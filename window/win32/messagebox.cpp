// SPDX-License-Identifier: MIT
#include "messagebox.h"

#include "dpi.h"
#include "win32text.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr WORD kIconId = 100;
constexpr WORD kTextId = 101;

// Predefined window classes, by ordinal, in a dialog template.
constexpr WORD kButtonClass = 0x0080;
constexpr WORD kStaticClass = 0x0082;

// In pixels at 96 dpi.
constexpr int kMargin = 12;
constexpr int kIconSize = 32;
constexpr int kMaxTextWidth = 360;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 23;

struct Request
{
    HFONT font;
    int dpi;
    const FormDesign::Message &message;
};

// A dialog template in memory: the controls get their places in WM_INITDIALOG, once the text has
// been measured in the real font, so every position here is left at zero.
class DialogTemplate
{
public:
    explicit DialogTemplate(const char16_t *title)
    {
        dword(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFOREGROUND);
        dword(0); // extended style
        m_countAt = m_words.size();
        word(0); // number of controls, counted below
        place();
        word(0); // no menu
        word(0); // the standard dialog class
        text(title);
    }

    void add(DWORD style, WORD id, WORD windowClass, const char16_t *caption)
    {
        if (m_words.size() % 2 != 0)
            word(0); // each control starts on a DWORD boundary
        dword(WS_CHILD | WS_VISIBLE | style);
        dword(0);
        place();
        word(id);
        word(0xFFFF);
        word(windowClass);
        text(caption);
        word(0); // no creation data
        ++m_words[m_countAt];
    }

    const DLGTEMPLATE *get() const { return reinterpret_cast<const DLGTEMPLATE *>(m_words.data()); }

private:
    void word(WORD value) { m_words.push_back(value); }
    void dword(DWORD value)
    {
        word(LOWORD(value));
        word(HIWORD(value));
    }
    void place()
    {
        for (int i = 0; i < 4; ++i)
            word(0);
    }
    void text(const char16_t *value)
    {
        for (; *value; ++value)
            word(*value);
        word(0);
    }

    std::vector<WORD> m_words; // new[] memory, aligned for the DWORDs the template starts with
    std::size_t m_countAt = 0;
};

// Where the box goes: centred on its owner, or on the screen when it has none, and kept on the
// monitor's work area.
POINT centredPosition(HWND dialog, SIZE frame)
{
    const HWND owner = ::GetWindow(dialog, GW_OWNER);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    ::GetMonitorInfoW(::MonitorFromWindow(owner ? owner : dialog, MONITOR_DEFAULTTOPRIMARY), &monitor);
    RECT around = monitor.rcWork;
    if (owner)
        ::GetWindowRect(owner, &around);
    LONG x = around.left + (around.right - around.left - frame.cx) / 2;
    LONG y = around.top + (around.bottom - around.top - frame.cy) / 2;
    x = std::max(monitor.rcWork.left, std::min(x, monitor.rcWork.right - frame.cx));
    y = std::max(monitor.rcWork.top, std::min(y, monitor.rcWork.bottom - frame.cy));
    return {x, y};
}

void layOut(HWND dialog, const Request &request)
{
    const auto px = [&request](int designPixels) { return Dpi::scaled(designPixels, request.dpi); };
    const HWND icon = ::GetDlgItem(dialog, kIconId);
    const HWND text = ::GetDlgItem(dialog, kTextId);
    const HWND button = ::GetDlgItem(dialog, IDOK);
    for (const HWND control : {icon, text, button})
        ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(request.font), FALSE);

    const bool warning = request.message.severity == FormDesign::Severity::Warning;
    ::SendMessageW(icon, STM_SETICON,
                   reinterpret_cast<WPARAM>(::LoadIconW(nullptr, warning ? IDI_WARNING : IDI_ERROR)), 0);

    // The text is measured in the font it is drawn in, so it is never cut.
    const Dpi::TextMeasure measure(request.font);
    const SIZE textSize = measure.size(request.message.text, px(kMaxTextWidth));
    const SIZE okSize = measure.size(FormDesign::kOkCaption, px(kMaxTextWidth));
    const int iconSize = px(kIconSize);
    const int textLeft = px(kMargin) * 2 + iconSize;
    const int textTop = px(kMargin) + std::max(0, (iconSize - static_cast<int>(textSize.cy)) / 2);
    const int contentBottom = std::max(px(kMargin) + iconSize, textTop + static_cast<int>(textSize.cy));
    const int buttonWidth = std::max(px(kButtonWidth), static_cast<int>(okSize.cx) + px(kMargin) * 2);
    const int buttonHeight = std::max(px(kButtonHeight), static_cast<int>(okSize.cy) + px(8));
    const int clientWidth =
        std::max(textLeft + static_cast<int>(textSize.cx), buttonWidth + px(kMargin)) + px(kMargin);
    const int buttonTop = contentBottom + px(kMargin);
    const int clientHeight = buttonTop + buttonHeight + px(kMargin);

    constexpr UINT kPlace = SWP_NOZORDER | SWP_NOACTIVATE;
    ::SetWindowPos(icon, nullptr, px(kMargin), px(kMargin), iconSize, iconSize, kPlace);
    ::SetWindowPos(text, nullptr, textLeft, textTop, textSize.cx, textSize.cy, kPlace);
    ::SetWindowPos(button, nullptr, (clientWidth - buttonWidth) / 2, buttonTop, buttonWidth, buttonHeight,
                   kPlace);
    const SIZE frame = Dpi::frameSize({clientWidth, clientHeight}, dialog, request.dpi);
    const POINT position = centredPosition(dialog, frame);
    ::SetWindowPos(dialog, nullptr, position.x, position.y, frame.cx, frame.cy, kPlace);
}

INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        layOut(dialog, *reinterpret_cast<const Request *>(lParam));
        return TRUE; // the focus goes to the button, the only tab stop
    case WM_COMMAND:
        // Escape and the close box arrive as IDCANCEL.
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            ::EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        break;
    }
    return FALSE;
}

} // namespace

void showMessageBox(HWND owner, HFONT font, int dpi, const char16_t *title,
                    const FormDesign::Message &message)
{
    DialogTemplate dialog(title);
    dialog.add(SS_ICON, kIconId, kStaticClass, u"");
    dialog.add(SS_LEFT | SS_NOPREFIX, kTextId, kStaticClass, message.text.c_str());
    dialog.add(WS_TABSTOP | BS_DEFPUSHBUTTON, IDOK, kButtonClass, FormDesign::kOkCaption);

    const bool warning = message.severity == FormDesign::Severity::Warning;
    ::MessageBeep(warning ? MB_ICONWARNING : MB_ICONERROR);
    const Request request{font, dpi, message};
    ::DialogBoxIndirectParamW(::GetModuleHandleW(nullptr), dialog.get(), owner, dialogProc,
                              reinterpret_cast<LPARAM>(&request));
}
