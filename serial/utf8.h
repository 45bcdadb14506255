// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <string_view>

// Device paths, system messages and process names are UTF-8 on any Linux this runs on; the channel
// speaks UTF-16.
std::string toUtf8(std::u16string_view text);

// Anything that is not well-formed UTF-8 becomes U+FFFD rather than being dropped: one for each
// maximal run of bytes that starts a sequence but cannot finish it, as Unicode recommends, so that a
// bad byte never swallows the good character after it.
std::u16string fromUtf8(std::string_view text);
