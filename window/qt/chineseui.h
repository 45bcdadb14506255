// SPDX-License-Identifier: MIT
#pragma once

class QCoreApplication;

// Qt's own texts (message box buttons, the text boxes' context menu) in Simplified
// Chinese whatever the system's language, to match the rest of the window.
void installChineseTranslations(QCoreApplication &app);
