// SPDX-License-Identifier: MIT
#pragma once

#include "formdesign.h"

#include <windows.h>

// Shows `message` with its icon and one button, "确定", and returns once it is closed (by the
// button, Enter or Escape). MessageBoxW would label the button in the language of Windows, so this
// builds the same box itself. `owner` is null while the main window is not shown yet.
void showMessageBox(HWND owner, HFONT font, int dpi, const char16_t *title,
                    const FormDesign::Message &message);
