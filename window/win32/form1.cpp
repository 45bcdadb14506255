// SPDX-License-Identifier: MIT
#include "form1.h"

#include "messagebox.h"
#include "resource.h"
#include "win32text.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

namespace {

using FormDesign::ControlKind;

constexpr wchar_t kClassName[] = L"QM47TConverterForm1";
// While a write is in flight the window looks at it this often, from its message loop or a message
// box's: a write the driver ended early then gets its rest started at once, not at the next click.
constexpr UINT_PTR kLineTimer = 1;
constexpr UINT kLineTimerMilliseconds = 50;
// Where a text box keeps the edit control's own window procedure while the window's stands before it.
constexpr wchar_t kEditProcedure[] = L"QM47TConverterEditProcedure";

constexpr std::size_t rowOf(std::string_view name)
{
    std::size_t row = 0;
    while (row < std::size(FormDesign::kControls) && FormDesign::kControls[row].name != name)
        ++row;
    return row;
}

constexpr std::size_t kInputBox = rowOf("Text1");
constexpr std::size_t kMonitorBox = rowOf("Text2");
constexpr std::size_t kConvertButton = rowOf("Command1");
constexpr std::size_t kExitButton = rowOf("Command2");
static_assert(std::max({kInputBox, kMonitorBox, kConvertButton, kExitButton}) <
              std::size(FormDesign::kControls));

using CreationOrder = std::array<std::size_t, std::size(FormDesign::kControls)>;

// The rows in the order their windows are created, which is their z-order: the table's, except that
// the labels naming a box come right before it. MSAA names an edit control after the static text
// just before it, and the dialog keyboard skips labels, so the tab order stays the table's.
constexpr CreationOrder creationOrder()
{
    CreationOrder order{};
    std::size_t next = 0;
    for (std::size_t row = 0; row < order.size(); ++row) {
        const FormDesign::Control &control = FormDesign::kControls[row];
        if (control.labelFor)
            continue;
        for (std::size_t label = 0; label < order.size(); ++label) {
            const char *box = FormDesign::kControls[label].labelFor;
            if (box && std::string_view(box) == control.name)
                order[next++] = label;
        }
        order[next++] = row;
    }
    return order;
}

constexpr CreationOrder kCreationOrder = creationOrder();

constexpr bool createsEveryRowOnce()
{
    for (std::size_t row = 0; row < kCreationOrder.size(); ++row) {
        std::size_t seen = 0;
        for (const std::size_t created : kCreationOrder)
            seen += created == row;
        if (seen != 1)
            return false;
    }
    return true;
}
static_assert(createsEveryRowOnce(), "every label must name a box in the table");

// What the design leaves below its lowest control, in twips.
constexpr int designBottomMargin()
{
    int lowest = 0;
    for (const FormDesign::Control &control : FormDesign::kControls)
        lowest = std::max(lowest, control.top + control.height);
    return FormDesign::kClientHeight - lowest;
}
constexpr int kDesignBottomMargin = designBottomMargin();

// A button draws its caption inside its edge and focus frame, at 96 dpi.
constexpr int kButtonSidePadding = 4;
constexpr int kButtonVerticalPadding = 4;

struct ControlClass
{
    const wchar_t *name;
    DWORD style;
    DWORD exStyle;
};

ControlClass controlClass(ControlKind kind)
{
    switch (kind) {
    case ControlKind::TextBox:
        // Wraps at the box's width; Enter is a line break, Tab leaves the box.
        return {L"EDIT", WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN,
                WS_EX_CLIENTEDGE};
    case ControlKind::Label:
        return {L"STATIC", SS_LEFT | SS_NOPREFIX, 0};
    case ControlKind::Button:
        // Plain push buttons: neither answers Enter.
        return {L"BUTTON", WS_TABSTOP | BS_PUSHBUTTON | BS_MULTILINE, 0};
    }
    return {L"STATIC", 0, 0};
}

std::u16string windowText(HWND control)
{
    const int length = ::GetWindowTextLengthW(control);
    if (length <= 0)
        return {};
    std::u16string text(static_cast<std::size_t>(length), u'\0');
    const int copied = ::GetWindowTextW(control, reinterpret_cast<wchar_t *>(text.data()), length + 1);
    text.resize(static_cast<std::size_t>(std::max(copied, 0)));
    return text;
}

} // namespace

Form1::Form1(std::u16string portName) : FormWindow(std::move(portName)) {}

Form1::~Form1()
{
    if (m_window)
        ::DestroyWindow(m_window);
}

bool Form1::create(HINSTANCE instance)
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    const auto icon = [instance](int widthMetric, int heightMetric) {
        return static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDI_QM47T_CONVERTER), IMAGE_ICON,
                                               ::GetSystemMetrics(widthMetric),
                                               ::GetSystemMetrics(heightMetric), LR_SHARED));
    };
    windowClass.hIcon = icon(SM_CXICON, SM_CYICON);
    windowClass.hIconSm = icon(SM_CXSMICON, SM_CYSMICON);
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kClassName;
    if (!::RegisterClassExW(&windowClass))
        return false;

    // Its size is set once its controls exist, at the DPI of the monitor it lands on.
    ::CreateWindowExW(0, kClassName, asWide(FormDesign::kFormCaption), WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                      CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, nullptr, nullptr, instance, this);
    return m_window != nullptr;
}

void Form1::show(int showCommand)
{
    ::ShowWindow(m_window, showCommand);
    ::UpdateWindow(m_window);
    ::SetFocus(m_controls[kInputBox]);
}

LRESULT CALLBACK Form1::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    Form1 *self = nullptr;
    if (message == WM_NCCREATE) {
        self = static_cast<Form1 *>(reinterpret_cast<CREATESTRUCTW *>(lParam)->lpCreateParams);
        self->m_window = window;
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    } else {
        self = reinterpret_cast<Form1 *>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    }
    if (!self)
        return ::DefWindowProcW(window, message, wParam, lParam);
    return self->handleMessage(message, wParam, lParam);
}

LRESULT CALLBACK Form1::boxProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam)
{
    const auto editProc = reinterpret_cast<WNDPROC>(::GetPropW(box, kEditProcedure));
    if (message == WM_GETOBJECT) {
        // Only an assistive program asks a control for its accessible object: the boxes are named
        // then, before it reads either name, and a start without one costs nothing for it.
        if (auto *self = reinterpret_cast<Form1 *>(::GetWindowLongPtrW(::GetParent(box), GWLP_USERDATA)))
            self->nameBoxes();
    } else if (message == WM_KEYDOWN && wParam == VK_ESCAPE) {
        // Under the dialog keyboard a multi-line box answers Escape by posting its parent a close
        // request, which would be taken for the title bar's close and end the program. No control
        // answers Escape here.
        return 0;
    } else if (message == WM_NCDESTROY) {
        ::RemovePropW(box, kEditProcedure);
    }
    return ::CallWindowProcW(editProc, box, message, wParam, lParam);
}

void Form1::nameBoxes()
{
    if (m_boxesNamed)
        return;
    m_boxesNamed = true;
    for (std::size_t row = 0; row < m_controls.size(); ++row) {
        const FormDesign::Control &design = FormDesign::kControls[row];
        if (design.kind == ControlKind::TextBox)
            m_screenReader.name(m_controls[row], FormDesign::accessibleName(design.name));
    }
}

LRESULT Form1::handleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        return createControls() ? 0 : -1;
    case WM_COMMAND:
        command(LOWORD(wParam), HIWORD(wParam));
        return 0;
    case WM_NEXTDLGCTL:
        // Tab: sent by IsDialogMessage, and by a multi-line box, which keeps Tab from the loop.
        moveFocus(wParam, lParam);
        return 0;
    case WM_ACTIVATE:
        // As a dialog does: the control that had the focus gets it back. A window restored from the
        // taskbar is activated while still minimized, when no control can take the focus, and then
        // again once restored, with the focus already on the window itself: no WM_SETFOCUS follows.
        if (LOWORD(wParam) == WA_INACTIVE) {
            rememberFocus();
        } else if (!HIWORD(wParam)) {
            restoreFocus();
            return 0;
        }
        break;
    case WM_SYSCOMMAND:
        // Minimizing may take the focus from the control before the window is deactivated.
        if ((wParam & 0xFFF0) == SC_MINIMIZE)
            rememberFocus();
        break;
    case WM_SETFOCUS:
        restoreFocus();
        return 0;
    case WM_TIMER:
        if (wParam != kLineTimer)
            break;
        m_controller.pushPending();
        return 0;
    case WM_DPICHANGED:
        changeDpi(HIWORD(wParam), *reinterpret_cast<const RECT *>(lParam));
        return 0;
    case WM_CLOSE:
        // The title bar's close, or taskkill's, leaves as Exit does, so that bytes still queued are
        // not dropped unseen; while a message is up, once it has been answered.
        m_controller.closeRequested();
        return 0;
    case WM_QUERYENDSESSION:
        // Leaving is bounded, so the session need not wait for the program.
        return TRUE;
    case WM_ENDSESSION:
        // The system ends the process soon after this returns: the port is drained and released,
        // and a loss said, before.
        if (wParam)
            m_controller.endSession();
        return 0;
    case WM_DESTROY:
        m_screenReader.clearNames();
        ::PostQuitMessage(m_exitCode);
        return 0;
    case WM_NCDESTROY: {
        const HWND window = m_window;
        m_window = nullptr;
        ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
    }
    return ::DefWindowProcW(m_window, message, wParam, lParam);
}

bool Form1::createControls()
{
    m_dpi = Dpi::ofWindow(m_window);
    m_font = Dpi::messageFont(m_dpi);
    const auto instance = reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(m_window, GWLP_HINSTANCE));
    const Dpi::TextMeasure measure(m_font.get());
    // Each in its final place and size: nothing is moved before the window is first shown.
    for (const std::size_t row : kCreationOrder) {
        const FormDesign::Control &design = FormDesign::kControls[row];
        const ControlClass kind = controlClass(design.kind);
        const auto id = static_cast<INT_PTR>(kFirstControlId + static_cast<int>(row));
        const RECT place = placement(row, measure);
        m_controls[row] = ::CreateWindowExW(kind.exStyle, kind.name, asWide(design.caption),
                                            WS_CHILD | WS_VISIBLE | kind.style, place.left, place.top,
                                            place.right - place.left, place.bottom - place.top, m_window,
                                            reinterpret_cast<HMENU>(id), instance, nullptr);
        if (!m_controls[row])
            return false;
        ::SendMessageW(m_controls[row], WM_SETFONT, reinterpret_cast<WPARAM>(m_font.get()), FALSE);
        if (design.kind == ControlKind::TextBox) {
            ::SendMessageW(m_controls[row], EM_SETLIMITTEXT, 0, 0); // no length limit
            const LONG_PTR editProc = ::GetWindowLongPtrW(m_controls[row], GWLP_WNDPROC);
            if (::SetPropW(m_controls[row], kEditProcedure, reinterpret_cast<HANDLE>(editProc)))
                ::SetWindowLongPtrW(m_controls[row], GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(boxProc));
        }
    }

    const SIZE frame = frameSize(measure);
    ::SetWindowPos(m_window, nullptr, 0, 0, frame.cx, frame.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    return true;
}

SIZE Form1::frameSize(const Dpi::TextMeasure &measure) const
{
    const auto px = [this](int twips) { return FormDesign::toPixels(twips, m_dpi); };
    // The designed client area, unless a control that grew for its caption would reach past it (the
    // convert button's three lines at 144 dpi): then the window grows to hold it, with the margin
    // the design leaves below its lowest control, so that no caption meets its frame.
    int bottom = 0;
    for (std::size_t row = 0; row < m_controls.size(); ++row)
        bottom = std::max(bottom, static_cast<int>(placement(row, measure).bottom));
    int height = px(FormDesign::kClientHeight);
    if (bottom > height)
        height = bottom + px(kDesignBottomMargin);
    return Dpi::frameSize({px(FormDesign::kClientWidth), height}, m_window, m_dpi);
}

RECT Form1::placement(std::size_t row, const Dpi::TextMeasure &measure) const
{
    const auto px = [this](int twips) { return FormDesign::toPixels(twips, m_dpi); };
    const FormDesign::Control &design = FormDesign::kControls[row];
    const int width = px(design.width);
    int height = px(design.height);
    // The boxes were sized for a font with 12-pixel lines. Where the message font's lines are
    // taller, a captioned control grows downwards rather than cut its caption.
    if (design.kind == ControlKind::Label) {
        height = std::max(height, static_cast<int>(measure.size(design.caption, width).cy));
    } else if (design.kind == ControlKind::Button) {
        const int side = Dpi::scaled(kButtonSidePadding, m_dpi);
        const SIZE caption = measure.size(design.caption, width - 2 * side);
        height =
            std::max(height, static_cast<int>(caption.cy) + 2 * Dpi::scaled(kButtonVerticalPadding, m_dpi));
    }
    const int left = px(design.left);
    const int top = px(design.top);
    return {left, top, left + width, top + height};
}

void Form1::layOut()
{
    const Dpi::TextMeasure measure(m_font.get());
    for (std::size_t row = 0; row < m_controls.size(); ++row) {
        ::SendMessageW(m_controls[row], WM_SETFONT, reinterpret_cast<WPARAM>(m_font.get()), FALSE);
        const RECT place = placement(row, measure);
        ::SetWindowPos(m_controls[row], nullptr, place.left, place.top, place.right - place.left,
                       place.bottom - place.top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void Form1::changeDpi(int dpi, const RECT &suggested)
{
    m_dpi = dpi;
    // The controls let go of the old font before it is deleted.
    const Win32::UniqueFont previous = std::exchange(m_font, Dpi::messageFont(dpi));
    layOut();
    // Where the system suggests, at the size this DPI's captions need.
    const SIZE frame = frameSize(Dpi::TextMeasure(m_font.get()));
    ::SetWindowPos(m_window, nullptr, suggested.left, suggested.top, frame.cx, frame.cy,
                   SWP_NOZORDER | SWP_NOACTIVATE);
    ::InvalidateRect(m_window, nullptr, TRUE);
}

void Form1::rememberFocus()
{
    const HWND focus = ::GetFocus();
    if (focus && ::IsChild(m_window, focus))
        m_focus = focus;
}

void Form1::restoreFocus()
{
    ::SetFocus(m_focus && ::IsChild(m_window, m_focus) ? m_focus : m_controls[kInputBox]);
}

void Form1::moveFocus(WPARAM wParam, LPARAM lParam)
{
    const HWND next =
        lParam ? reinterpret_cast<HWND>(wParam) : ::GetNextDlgTabItem(m_window, ::GetFocus(), wParam != 0);
    if (next)
        ::SetFocus(next);
}

void Form1::command(int id, int notification)
{
    if (notification != BN_CLICKED)
        return;
    if (id == kFirstControlId + static_cast<int>(kConvertButton))
        m_controller.convert();
    else if (id == kFirstControlId + static_cast<int>(kExitButton))
        m_controller.exit();
}

std::u16string Form1::inputText() const
{
    // As the box holds it: Enter's CR LF, and a pasted lone CR or LF, U+2028 or U+2029, each as it is.
    return windowText(m_controls[kInputBox]);
}

void Form1::setMonitorText(const std::u16string &text)
{
    ::SetWindowTextW(m_controls[kMonitorBox], asWide(text));
}

void Form1::announce(const std::u16string &text)
{
    // Said as from the monitor box, which shows what went out; only once an assistive program has
    // asked for the window's objects, so that no one else pays for loading UI Automation.
    if (m_boxesNamed)
        m_screenReader.announce(m_controls[kMonitorBox], text);
}

void Form1::showMessage(const FormDesign::Message &message)
{
    const HWND owner = m_window && ::IsWindowVisible(m_window) ? m_window : nullptr;
    showMessageBox(owner, m_font.get(), m_dpi, FormDesign::kFormCaption, message);
}

void Form1::watchLine(bool pending)
{
    if (!m_window)
        return;
    if (pending)
        ::SetTimer(m_window, kLineTimer, kLineTimerMilliseconds, nullptr);
    else
        ::KillTimer(m_window, kLineTimer);
}

void Form1::quit(int exitCode)
{
    m_exitCode = exitCode;
    if (m_window)
        ::DestroyWindow(m_window);
}
