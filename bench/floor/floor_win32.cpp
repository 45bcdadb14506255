// SPDX-License-Identifier: MIT
//
// The Windows floor for start-up timing: the least a Win32 program can do and still be comparable
// to qm47t-converter.exe. A Chinese caption and label, one multi-line text box, one button, all in
// the system's message font, the window at the converter's size, and COM1 opened at 9600 8N1 the
// same way before the window is shown. It carries the converter's manifest (visual styles,
// per-monitor DPI awareness), as every modern Win32 program does, and so lays itself out at its
// window's DPI. Nothing else: no icon, no second box, no caption measuring. Only ever started where
// COM1 is a stand-in device (Wine in a private mount namespace).

#include <windows.h>

namespace {

HANDLE openCom1()
{
    // Read access too: a port opened for writing alone cannot be configured.
    const HANDLE port =
        ::CreateFileW(L"\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return port;
    // The least a program does: the line described in the system's own mode syntax.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    const bool configured =
        ::SetupComm(port, 1024, 512) && ::GetCommState(port, &dcb) &&
        ::BuildCommDCBW(L"baud=9600 parity=n data=8 stop=1 xon=off dtr=on rts=off", &dcb) &&
        ::SetCommState(port, &dcb);
    if (!configured) {
        ::CloseHandle(port);
        return INVALID_HANDLE_VALUE;
    }
    return port;
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) {
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    const HANDLE port = openCom1();
    if (port == INVALID_HANDLE_VALUE)
        return 1;

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = L"QM47TFloor";
    ::RegisterClassExW(&windowClass);

    // Sized once it exists, at the DPI of the monitor it lands on, as its manifest promises.
    const HWND window =
        ::CreateWindowExW(0, windowClass.lpszClassName, L"汉字转换 基准窗口", WS_OVERLAPPEDWINDOW,
                          CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, nullptr, nullptr, instance, nullptr);
    const UINT dpi = ::GetDpiForWindow(window);
    const auto px = [dpi](int designPixels) { return ::MulDiv(designPixels, static_cast<int>(dpi), 96); };
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    ::SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi);
    const HFONT font = ::CreateFontIndirectW(&metrics.lfMessageFont);
    const HWND controls[] = {
        ::CreateWindowExW(0, L"STATIC", L"输入汉字：", WS_CHILD | WS_VISIBLE | SS_LEFT, px(12), px(12),
                          px(120), px(20), window, nullptr, instance, nullptr),
        ::CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                          WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_WANTRETURN,
                          px(12), px(40), px(516), px(200), window, nullptr, instance, nullptr),
        ::CreateWindowExW(0, L"BUTTON", L"转换", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, px(12),
                          px(260), px(120), px(50), window, nullptr, instance, nullptr),
    };
    for (const HWND control : controls)
        ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    RECT frame{0, 0, px(540), px(329)};
    ::AdjustWindowRectExForDpi(&frame, WS_OVERLAPPEDWINDOW, FALSE, 0, dpi);
    ::SetWindowPos(window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ::ShowWindow(window, showCommand);
    ::UpdateWindow(window);

    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    ::DeleteObject(font);
    ::CloseHandle(port);
    return static_cast<int>(message.wParam);
}
