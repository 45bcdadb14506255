// SPDX-License-Identifier: MIT
// wininspect: prints the visible top-level windows of the Wine session it runs in, with their child
// controls, one JSON object a line, in UTF-8:
//   {"hwnd":N,"x11":N,"pid":N,"title":"..","class":"..","rect":[l,t,r,b],"client":[l,t,r,b],"children":[
//     {"hwnd":N,"id":N,"class":"..","text":"..","rect":[l,t,r,b],"visible":true,"focus":false},..]}
// "x11" is the X window Wine shows the window in (0 if none), as xdotool names it; "rect" of a window
// and "client" are in screen pixels; a child's "rect" is in its top-level
// window's client area. The end-to-end tests read the controls' texts through it, since X shows
// only the titles of a Wine program's windows.
#include <windows.h>

#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring &text)
{
    if (text.empty())
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                        nullptr);
    return out;
}

std::string Quoted(const std::wstring &text)
{
    std::string out = "\"";
    for (const char c : Utf8(text)) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            wsprintfA(escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string Rect(const RECT &r)
{
    return "[" + std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
           std::to_string(r.bottom) + "]";
}

// Asks the window's own thread, so that an edit control in another process answers with its text.
std::wstring Text(HWND window)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length))
        return {};
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                             SMTO_ABORTIFHUNG, 2000, &copied))
        return {};
    text.resize(copied);
    return text;
}

std::wstring ClassName(HWND window)
{
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

BOOL CALLBACK CollectChild(HWND child, LPARAM list)
{
    reinterpret_cast<std::vector<HWND> *>(list)->push_back(child);
    return TRUE;
}

BOOL CALLBACK CollectTop(HWND window, LPARAM list)
{
    if (IsWindowVisible(window))
        reinterpret_cast<std::vector<HWND> *>(list)->push_back(window);
    return TRUE;
}

void Print(const std::string &line)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written,
              nullptr);
}

} // namespace

int main()
{
    std::vector<HWND> windows;
    EnumWindows(CollectTop, reinterpret_cast<LPARAM>(&windows));
    for (HWND window : windows) {
        DWORD pid = 0;
        const DWORD thread = GetWindowThreadProcessId(window, &pid);
        GUITHREADINFO gui = {};
        gui.cbSize = sizeof gui;
        GetGUIThreadInfo(thread, &gui);
        RECT frame = {}, client = {};
        GetWindowRect(window, &frame);
        GetClientRect(window, &client);
        MapWindowPoints(window, nullptr, reinterpret_cast<POINT *>(&client), 2);
        // Wine's X11 driver keeps the X window of each top-level window in this property.
        const auto x11 = reinterpret_cast<UINT_PTR>(GetPropW(window, L"__wine_x11_whole_window"));
        std::string line = "{\"hwnd\":" + std::to_string(reinterpret_cast<UINT_PTR>(window)) +
                           ",\"x11\":" + std::to_string(x11) + ",\"pid\":" + std::to_string(pid) +
                           ",\"title\":" + Quoted(Text(window)) + ",\"class\":" + Quoted(ClassName(window)) +
                           ",\"rect\":" + Rect(frame) + ",\"client\":" + Rect(client) + ",\"children\":[";
        std::vector<HWND> children;
        EnumChildWindows(window, CollectChild, reinterpret_cast<LPARAM>(&children));
        for (size_t i = 0; i < children.size(); ++i) {
            HWND child = children[i];
            RECT place = {};
            GetWindowRect(child, &place);
            MapWindowPoints(nullptr, window, reinterpret_cast<POINT *>(&place), 2);
            line += (i ? ",{" : "{") + std::string("\"hwnd\":") +
                    std::to_string(reinterpret_cast<UINT_PTR>(child)) +
                    ",\"id\":" + std::to_string(GetDlgCtrlID(child)) +
                    ",\"class\":" + Quoted(ClassName(child)) + ",\"text\":" + Quoted(Text(child)) +
                    ",\"rect\":" + Rect(place) +
                    ",\"visible\":" + (IsWindowVisible(child) ? "true" : "false") +
                    ",\"focus\":" + (child == gui.hwndFocus ? "true" : "false") + "}";
        }
        Print(line + "]}\n");
    }
    return 0;
}
