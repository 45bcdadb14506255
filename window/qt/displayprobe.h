// SPDX-License-Identifier: MIT
#pragma once

// Whether a display server answers where DISPLAY (an X server, local or over the network, as SSH
// forwards it) or WAYLAND_DISPLAY (a Wayland compositor's socket) says: it accepts a connection.
// Only asked once Qt has failed to start, to tell a machine with no display from one whose display
// Qt could not use.
bool displayAnswers();
