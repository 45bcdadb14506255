// SPDX-License-Identifier: MIT
#pragma once

#include "dpi.h"
#include "formwindow.h"
#include "screenreader.h"

#include <windows.h>

#include <array>
#include <iterator>

// The program's only window: the input box, the monitor box, four labels, the convert and exit
// buttons. What the window does is FormController's; this is the Win32 view of it.
class Form1 : public FormWindow
{
public:
    // Each control's id is this plus its row in FormDesign::kControls (Text1 1000, Text2 1001, ...,
    // Command1 1007), so that tools and tests can find a control by its name.
    static constexpr int kFirstControlId = 1000;

    explicit Form1(std::u16string portName = SerialChannel::com1PortName());
    ~Form1();

    // Creates the window and its controls, not shown yet.
    bool create(HINSTANCE instance);
    void show(int showCommand);

    HWND window() const { return m_window; }

private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    // Stands before each text box's own procedure, to name the boxes when a screen reader first asks.
    static LRESULT CALLBACK boxProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam);
    void nameBoxes();
    LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam);

    bool createControls();
    // Where the control of `row` goes at the current DPI, grown to its caption in the current font.
    RECT placement(std::size_t row, const Dpi::TextMeasure &measure) const;
    // The window's outer size that holds every control as placed now.
    SIZE frameSize(const Dpi::TextMeasure &measure) const;
    // Places the controls again in a new font, after a DPI change.
    void layOut();
    void changeDpi(int dpi, const RECT &suggested);
    // Keeps the control that has the focus, to give it back when the window is active again.
    void rememberFocus();
    void restoreFocus();
    void moveFocus(WPARAM wParam, LPARAM lParam);
    void command(int id, int notification);

    std::u16string inputText() const override;
    void setMonitorText(const std::u16string &text) override;
    void showMessage(const FormDesign::Message &message) override;
    // A timer while the channel holds part of a frame back, so that the message loop, or a message
    // box's, looks at the write in flight.
    void watchLine(bool pending) override;
    // Destroys the window; the message loop ends with the exit code.
    void quit(int exitCode) override;

    HWND m_window = nullptr;
    // Announcements go through the screen reader's UI Automation provider, loaded only once an
    // assistive program has asked for the window's objects. It outlives the controls it names.
    void announce(const std::u16string &text) override;
    ScreenReader m_screenReader;
    bool m_boxesNamed = false;
    std::array<HWND, std::size(FormDesign::kControls)> m_controls{};
    Win32::UniqueFont m_font;
    int m_dpi = Dpi::kDesign;
    // The control that had the focus when the window was last deactivated or minimized.
    HWND m_focus = nullptr;
    int m_exitCode = 0;
};
