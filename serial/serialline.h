// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>

// What both platforms' channels agree on: the line, how much may wait in the driver's queue, and
// when a line that takes nothing counts as stalled.
namespace SerialLine {

inline constexpr std::uint32_t kBaudRate = 9600;
inline constexpr std::uint32_t kReadBufferSize = 1024;
// Also the most the channel lets wait in the driver's queue: two of the longest frames, about half a
// second of the line. A stalled line then holds back a few frames, not a click's worth of minutes.
inline constexpr std::uint32_t kTransmitBufferSize = 512;

// How long the line may take no byte at all, while we wait for it, before we call it stalled.
// Generous, since a busy machine can be slow to schedule the write; a line that keeps moving is
// waited for however long its queue takes.
inline constexpr std::chrono::milliseconds kStallGrace{1500};

// Start bit, 8 data bits, stop bit.
constexpr std::chrono::milliseconds wireTime(std::uint64_t bytes)
{
    constexpr std::uint64_t kBitsPerByte = 10;
    return std::chrono::milliseconds{static_cast<std::chrono::milliseconds::rep>(
        (bytes * kBitsPerByte * 1000 + kBaudRate - 1) / kBaudRate)};
}

} // namespace SerialLine
