// SPDX-License-Identifier: MIT
#pragma once

// Shared by the resource script and the code that loads what it compiles in.
#define IDI_QM47T_CONVERTER 101
