// SPDX-License-Identifier: MIT
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct IAccPropServices;

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
    // COM, on the first name or announcement: a start without a screen reader never pays for it.
    bool startCom();

    bool m_comTried = false;
    bool m_comStarted = false;
    IAccPropServices *m_annotations = nullptr;
    std::vector<HWND> m_named;
    // UI Automation's library, loaded at the first announcement rather than at every start.
    HMODULE m_automation = nullptr;
};
