// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>

// What both platforms' channels agree on: the line, how long a write may take, and their own words
// for the two failures that are theirs rather than the system's.
namespace SerialLine {

inline constexpr std::uint32_t kBaudRate = 9600;
inline constexpr std::uint32_t kReadBufferSize = 1024;
inline constexpr std::uint32_t kTransmitBufferSize = 512;

// On top of a frame's own time on the wire: how long a port may keep bytes back before we call the
// line stalled. Generous, since a busy machine can be slow to schedule the write.
inline constexpr std::chrono::milliseconds kStallGrace{1500};

// Start bit, 8 data bits, stop bit.
constexpr std::chrono::milliseconds wireTime(std::uint64_t bytes)
{
    constexpr std::uint64_t kBitsPerByte = 10;
    return std::chrono::milliseconds{static_cast<std::chrono::milliseconds::rep>(
        (bytes * kBitsPerByte * 1000 + kBaudRate - 1) / kBaudRate)};
}

// How long one write of `bytes` may take before the line counts as stalled.
constexpr std::chrono::milliseconds writeDeadline(std::uint64_t bytes)
{
    return kStallGrace + wireTime(bytes);
}

inline constexpr char16_t kNotOpenReason[] = u"串口未打开";
inline constexpr char16_t kStalledReason[] = u"线路阻塞，数据未能在限定时间内发出";

} // namespace SerialLine
