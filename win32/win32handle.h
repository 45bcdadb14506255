// SPDX-License-Identifier: MIT
#pragma once

#include <windows.h>
#include <wtypes.h>

#include <cstdint>
#include <type_traits>
#include <utility>

// Everything the program gets from Windows and has to give back, each kind given back here and
// nowhere else.
namespace Win32 {

// A function looked up at run time, null where the module lacks it.
template <typename Function> Function procedure(HMODULE module, const char *name)
{
    // Through void(*)() because FARPROC's own signature matches no real function.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

// Owns one Handle, gives it back with Release when it goes or is replaced; moves, never copies.
// Empty is the value that owns nothing: null, or -1 (INVALID_HANDLE_VALUE) for what CreateFileW
// hands out. A handle that is not a pointer (an apartment's "started", a selection) is empty when
// it is zero.
template <typename Handle, void (*Release)(Handle), std::intptr_t Empty = 0> class Unique
{
public:
    Unique() noexcept = default;
    explicit Unique(Handle handle) noexcept : m_handle(handle) {}
    Unique(Unique &&other) noexcept : m_handle(other.release()) {}
    Unique &operator=(Unique &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    Unique(const Unique &) = delete;
    Unique &operator=(const Unique &) = delete;
    ~Unique() { reset(); }

    Handle get() const noexcept { return m_handle; }
    explicit operator bool() const noexcept { return !(m_handle == empty()); }

    void reset(Handle handle = empty()) noexcept
    {
        const Handle previous = std::exchange(m_handle, handle);
        if (!(previous == empty()))
            Release(previous);
    }
    [[nodiscard]] Handle release() noexcept { return std::exchange(m_handle, empty()); }
    // For a call that writes the new handle through a pointer; what was held goes first.
    Handle *put() noexcept
    {
        reset();
        return &m_handle;
    }

    static Handle empty() noexcept
    {
        if constexpr (std::is_pointer_v<Handle>)
            return reinterpret_cast<Handle>(Empty);
        else
            return Handle{};
    }

private:
    Handle m_handle = empty();
};

// An object selected into a DC, with what it replaced: putting that back before the DC goes lets
// the object be deleted.
struct Selection
{
    HDC dc;
    HGDIOBJ previous;
    friend bool operator==(const Selection &a, const Selection &b)
    {
        return a.dc == b.dc && a.previous == b.previous;
    }
};

namespace Releases {

inline void closeHandle(HANDLE handle)
{
    ::CloseHandle(handle);
}
inline void deleteFont(HFONT font)
{
    ::DeleteObject(font);
}
inline void releaseScreenDc(HDC dc)
{
    ::ReleaseDC(nullptr, dc);
}
inline void deleteDc(HDC dc)
{
    ::DeleteDC(dc);
}
inline void selectBack(Selection selection)
{
    ::SelectObject(selection.dc, selection.previous);
}
inline void freeLibrary(HMODULE module)
{
    ::FreeLibrary(module);
}
inline void localFree(wchar_t *text)
{
    ::LocalFree(text);
}

// ole32 and oleaut32 are loaded only once a screen reader asks, so their own releases are found in
// the loaded module rather than imported: whoever holds a string or the apartment holds the module
// longer. A module that is not loaded has handed nothing out.
inline void freeString(BSTR text)
{
    if (const auto sysFreeString =
            procedure<void(WINAPI *)(BSTR)>(::GetModuleHandleW(L"oleaut32.dll"), "SysFreeString"))
        sysFreeString(text);
}
inline void leaveApartment(bool)
{
    if (const auto uninitialize =
            procedure<void(WINAPI *)()>(::GetModuleHandleW(L"ole32.dll"), "CoUninitialize"))
        uninitialize();
}
template <typename Interface> void releaseInterface(Interface *object)
{
    object->Release();
}

} // namespace Releases

// A file or device from CreateFileW, which fails with INVALID_HANDLE_VALUE.
using UniqueFile = Unique<HANDLE, Releases::closeHandle, -1>;
// An event from CreateEventW, which fails with null.
using UniqueEvent = Unique<HANDLE, Releases::closeHandle>;
using UniqueFont = Unique<HFONT, Releases::deleteFont>;
// GetDC(nullptr): the screen's DC.
using UniqueScreenDc = Unique<HDC, Releases::releaseScreenDc>;
// CreateCompatibleDC.
using UniqueMemoryDc = Unique<HDC, Releases::deleteDc>;
using UniqueSelection = Unique<Selection, Releases::selectBack>;
using UniqueModule = Unique<HMODULE, Releases::freeLibrary>;
// Text the system allocated for us (FormatMessageW with FORMAT_MESSAGE_ALLOCATE_BUFFER).
using UniqueLocalText = Unique<wchar_t *, Releases::localFree>;
using UniqueBstr = Unique<BSTR, Releases::freeString>;
// True once CoInitializeEx succeeded (S_FALSE included) on this thread: each success is undone once.
using UniqueApartment = Unique<bool, Releases::leaveApartment>;
template <typename Interface>
using UniqueInterface = Unique<Interface *, Releases::releaseInterface<Interface>>;

// Selects `object` into `dc` until the result goes; empty when the selection failed.
inline UniqueSelection select(HDC dc, HGDIOBJ object)
{
    const HGDIOBJ previous = ::SelectObject(dc, object);
    return previous ? UniqueSelection({dc, previous}) : UniqueSelection();
}

} // namespace Win32
