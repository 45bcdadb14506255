// SPDX-License-Identifier: MIT
// accnames: what a screen reader on Windows is told about the controls of the visible top-level
// windows of the Wine session it runs in, read through MSAA as a reader reads them when a control
// takes the focus (AccessibleObjectFromWindow, then get_accName and get_accRole). One JSON object a
// window, in UTF-8, its controls in z-order:
//   {"x11":N,"controls":[{"id":N,"role":N,"name":"..","focus":false},..]}
// "x11" is the X window Wine shows the window in, as in wininspect; "role" is the ROLE_SYSTEM_*
// number; "name" is null where MSAA gives none; where the control has no accessible object at all,
// "error" is the HRESULT that said so.
#include <windows.h>

#include <oleacc.h>

#include <string>
#include <vector>

namespace {

std::string Utf8(const wchar_t *text, int length)
{
    if (length <= 0)
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
    return out;
}

std::string Quoted(const std::string &text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            wsprintfA(escaped, "\\u%04x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// The "role" and "name" members for a control, as its client object reports them.
std::string Described(HWND control)
{
    IAccessible *object = nullptr;
    // __uuidof rather than IID_IAccessible: liboleacc.a also exports that name, as a stub that would
    // hand oleacc the address of code instead of the interface's id.
    const HRESULT hr = AccessibleObjectFromWindow(control, static_cast<DWORD>(OBJID_CLIENT),
                                                  __uuidof(IAccessible), reinterpret_cast<void **>(&object));
    if (FAILED(hr))
        return "\"role\":null,\"name\":null,\"error\":" + std::to_string(static_cast<unsigned long>(hr));
    VARIANT self;
    VariantInit(&self);
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    VARIANT role;
    VariantInit(&role);
    std::string out = "\"role\":";
    out +=
        SUCCEEDED(object->get_accRole(self, &role)) && role.vt == VT_I4 ? std::to_string(role.lVal) : "null";
    VariantClear(&role);
    BSTR name = nullptr;
    out += ",\"name\":";
    out += object->get_accName(self, &name) == S_OK && name
               ? Quoted(Utf8(name, static_cast<int>(SysStringLen(name))))
               : "null";
    SysFreeString(name);
    object->Release();
    return out;
}

BOOL CALLBACK CollectTop(HWND window, LPARAM list)
{
    if (IsWindowVisible(window))
        reinterpret_cast<std::vector<HWND> *>(list)->push_back(window);
    return TRUE;
}

} // namespace

int main()
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 1;
    std::vector<HWND> windows;
    EnumWindows(CollectTop, reinterpret_cast<LPARAM>(&windows));
    for (HWND window : windows) {
        GUITHREADINFO gui = {};
        gui.cbSize = sizeof gui;
        GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &gui);
        const auto x11 = reinterpret_cast<UINT_PTR>(GetPropW(window, L"__wine_x11_whole_window"));
        std::string line = "{\"x11\":" + std::to_string(x11) + ",\"controls\":[";
        for (HWND control = GetWindow(window, GW_CHILD); control; control = GetWindow(control, GW_HWNDNEXT)) {
            line += line.back() == '[' ? "{" : ",{";
            line += "\"id\":" + std::to_string(GetDlgCtrlID(control)) + "," + Described(control) +
                    ",\"focus\":" + (control == gui.hwndFocus ? "true" : "false") + "}";
        }
        line += "]}\n";
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written,
                  nullptr);
    }
    CoUninitialize();
    return 0;
}
