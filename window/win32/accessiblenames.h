// SPDX-License-Identifier: MIT
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct IAccPropServices;

// Gives controls the names a screen reader reads out, where MSAA would find none or only part of
// one. MSAA names an edit control after the one static text just before it in z-order; a box with
// a label of two lines needs the whole of it set by hand, as a Dynamic Annotation of its client
// object's name, which MSAA clients and UI Automation's proxies both read in place of their own.
// Without COM or the annotation service (before Windows XP, or where Wine lacks it) nothing is set
// and the nearest label still names the box.
class AccessibleNames
{
public:
    AccessibleNames();
    // Clears the names it set: an annotation is kept for its window handle, which the system may
    // hand to a new window later.
    ~AccessibleNames();
    AccessibleNames(const AccessibleNames &) = delete;
    AccessibleNames &operator=(const AccessibleNames &) = delete;

    void set(HWND control, const std::u16string &name);
    // Each control that was named, before the controls are destroyed.
    void clear();

private:
    bool m_comStarted = false;
    IAccPropServices *m_services = nullptr;
    std::vector<HWND> m_named;
};
