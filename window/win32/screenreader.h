// SPDX-License-Identifier: MIT
#pragma once

#include "win32handle.h"

#include <windows.h>

#include <oleacc.h>

#include <string>
#include <vector>

// What a screen reader hears from the window beyond what the controls tell it themselves.
//
// Names: MSAA names an edit control after the one static text just before it in z-order; a box
// whose label has two lines gets the whole of it by hand, as a Dynamic Annotation of its client
// object's name, which MSAA clients and UI Automation's proxies read in place of their own. Without
// the annotation service (Wine 8 has the object but not the call) the nearest line still names it.
//
// Announcements: a UI Automation notification, read out by Narrator and NVDA wherever the focus is
// (Windows 10 1709 and later; elsewhere nothing is said).
class ScreenReader
{
public:
    ScreenReader() = default;
    ~ScreenReader();
    ScreenReader(const ScreenReader &) = delete;
    ScreenReader &operator=(const ScreenReader &) = delete;

    void name(HWND control, const std::u16string &name);
    // Takes back every name given, while the controls still exist: an annotation is kept for the
    // window handle, which the system may hand to another window later.
    void clearNames();

    void announce(HWND control, const std::u16string &text);

private:
    // COM, on the first name or announcement: a start without a screen reader never pays for it,
    // not even for loading ole32 and oleaut32, which the program does not import.
    bool startCom();

    // In the order they are taken back in reverse: the interface, UI Automation's library, the
    // apartment, then the libraries whose functions give those back.
    Win32::UniqueModule m_ole32;
    Win32::UniqueModule m_oleaut32;
    bool m_comTried = false;
    Win32::UniqueApartment m_apartment;
    // UI Automation's library, loaded at the first announcement rather than at every start.
    Win32::UniqueModule m_automation;
    Win32::UniqueInterface<IAccPropServices> m_annotations;
    std::vector<HWND> m_named;
};
