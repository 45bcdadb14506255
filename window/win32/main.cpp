// SPDX-License-Identifier: MIT
#include "form1.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    Form1 form;
    if (!form.create(instance) || !form.load())
        return 1;
    form.show(showCommand);

    MSG message{};
    BOOL got = FALSE;
    while ((got = ::GetMessageW(&message, nullptr, 0, 0)) != 0) {
        if (got == -1)
            return 1;
        // The window is no dialog, but takes the dialog keyboard: Tab and Shift+Tab move between
        // the controls, Space presses a button.
        if (!::IsDialogMessageW(form.window(), &message)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
    return static_cast<int>(message.wParam);
}
