// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <string_view>

// The module expects a line break as CR LF. Qt's text document cannot hold a lone CR or LF: it keeps
// every line break as a paragraph break (U+2029 in its raw text), and a soft one as U+2028, so the
// Linux program cannot send a pasted lone CR or LF as it was. Every break becomes CR LF instead: LF,
// a lone CR, U+2028 and U+2029 each, and a CR LF stays one pair. Every other code unit is kept
// exactly: no-break spaces, tabs, lone surrogates.
std::u16string lineBreaksToCrLf(std::u16string_view rawText);
