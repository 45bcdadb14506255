// SPDX-License-Identifier: MIT
#pragma once

#include "dpi.h"
#include "formcontroller.h"
#include "screenreader.h"
#include "serialchannel.h"

#include <windows.h>

#include <array>
#include <iterator>

// The program's only window: the input box, the monitor box, four labels, the convert and exit
// buttons, and the channel to COM1, which lives exactly as long as the window. What the window does
// is FormController's; this is the Win32 view of it.
class Form1 : private FormView
{
public:
    // Each control's id is this plus its row in FormDesign::kControls (Text1 1000, Text2 1001, ...,
    // Command1 1007), so that tools and tests can find a control by its name.
    static constexpr int kFirstControlId = 1000;

    // The port is COM1; only tests hand in another device.
    explicit Form1(std::u16string portName = SerialChannel::com1PortName());
    ~Form1();
    Form1(const Form1 &) = delete;
    Form1 &operator=(const Form1 &) = delete;

    // Creates the window and its controls, not shown yet.
    bool create(HINSTANCE instance);
    // Claims the port before the window is shown. False, after telling the user why, when it
    // cannot: the program is of no use without its port.
    bool load() { return m_controller.load(); }
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
    void announce(const std::u16string &text) override;
    void showMessage(const FormDesign::Message &message) override;
    void quit(int exitCode) override;
    void watchLine(bool pending) override;

    FormController<SerialChannel> m_controller;
    HWND m_window = nullptr;
    // Outlives the controls it names.
    ScreenReader m_screenReader;
    bool m_boxesNamed = false;
    std::array<HWND, std::size(FormDesign::kControls)> m_controls{};
    Win32::UniqueFont m_font;
    int m_dpi = Dpi::kDesign;
    // The control that had the focus when the window was last deactivated or minimized.
    HWND m_focus = nullptr;
    int m_exitCode = 0;
};
