// SPDX-License-Identifier: MIT
#include "serialchannel.h"

#include "serialline.h"
#include "serialport.h"

#include <algorithm>
#include <limits>

namespace {

using Clock = std::chrono::steady_clock;
using Reason = PortFailure::Reason;

} // namespace

SerialChannel::Failure SerialChannel::Port::open()
{
    if (isDeviceOpen())
        return std::nullopt;
    forget();
    return openDevice();
}

SerialChannel::Failure SerialChannel::Port::output(const std::vector<std::uint8_t> &bytes)
{
    if (m_gone)
        return PortFailure{Reason::Disconnected};
    if (!isDeviceOpen())
        return PortFailure{Reason::NotOpen};
    if (bytes.empty())
        return std::nullopt;

    const std::size_t room = SerialLine::kTransmitBufferSize -
                             std::min<std::size_t>(bytes.size(), SerialLine::kTransmitBufferSize);
    Failure failure;
    switch (waitForLine(room, failure)) {
    case Wait::Ready:
        break;
    case Wait::Stalled:
        return PortFailure{Reason::Stalled};
    case Wait::Failed:
        return failed(failure);
    }
    // The system may still take none of it: a buffer that is full although its queue does not show
    // it (a pty's). Then the frame has not begun, and is refused whole if nothing moves in time.
    const Clock::time_point since = Clock::now();
    for (;;) {
        bool started = false;
        if ((failure = submit(bytes, started)))
            return failed(failure);
        if (started)
            break;
        const auto waited = Clock::now() - since;
        if (waited >= SerialLine::kStallGrace)
            return PortFailure{Reason::Stalled};
        pause(std::min(Milliseconds{100},
                       std::chrono::duration_cast<Milliseconds>(SerialLine::kStallGrace - waited) +
                           Milliseconds{1}));
    }
    m_accepted += bytes.size();
    m_frameEnds.push_back(m_accepted);
    return std::nullopt;
}

SerialChannel::Failure SerialChannel::Port::close()
{
    if (!isDeviceOpen())
        return std::nullopt;
    // The kernel's close waits for the output queue with no bound worth the name (30 s), tcdrain with
    // none at all: wait here while the queue empties at the line's speed, and leave only the last
    // bytes in the hardware to finish(), which is bounded too.
    Failure failure;
    switch (waitForLine(0, failure)) {
    case Wait::Ready:
        // What the hardware still holds cannot be counted in frames, but an adapter that keeps it
        // past the bound has stopped, and the frames before may not have gone out whole.
        if (!finish())
            failure = PortFailure::framesLost(0);
        break;
    case Wait::Stalled:
        failure = PortFailure::framesLost(m_frameEnds.size());
        discard();
        break;
    case Wait::Failed:
        // A device that has gone takes nothing more; only frames it still owed are worth a word.
        if (m_frameEnds.empty())
            failure.reset();
        break;
    }
    release();
    forget();
    return failure;
}

SerialChannel::Failure SerialChannel::Port::sendPending()
{
    if (!holdsPending())
        return std::nullopt;
    return pushPending();
}

SerialChannel::Failure SerialChannel::Port::failedWrite(PortFailure failure)
{
    if (failure.reason == Reason::Disconnected)
        m_gone = true;
    return failure;
}

// Waits until nothing is pending and the driver holds at most `room` bytes. Progress is the count of
// unsent bytes falling; time spent while it falls is never held against the line.
SerialChannel::Port::Wait SerialChannel::Port::waitForLine(std::size_t room, Failure &failure)
{
    std::size_t least = std::numeric_limits<std::size_t>::max();
    Clock::time_point lastMove = Clock::now();
    for (;;) {
        std::size_t left = 0;
        if ((failure = pushPending()) || (failure = unsent(left)))
            return Wait::Failed;
        forgetSentFrames(left);
        if (!hasPending() && left <= room)
            return Wait::Ready;

        const Clock::time_point now = Clock::now();
        if (left < least) {
            least = left;
            lastMove = now;
        } else if (now - lastMove >= SerialLine::kStallGrace) {
            return Wait::Stalled;
        }
        // Half the time the excess needs on the wire, so that a moving line is seen moving, but
        // short enough to see a stall out on time. What is pending must go whatever the room.
        const std::size_t target = hasPending() ? 0 : room;
        const auto excess = static_cast<std::uint64_t>(left > target ? left - target : 1);
        const auto untilStall =
            std::chrono::duration_cast<Milliseconds>(SerialLine::kStallGrace - (now - lastMove)) +
            Milliseconds{1};
        pause(std::min({SerialLine::wireTime(excess) / 2 + Milliseconds{1}, Milliseconds{100}, untilStall}));
    }
}

// A frame has gone out whole once the bytes that left the line reach its end.
void SerialChannel::Port::forgetSentFrames(std::size_t unsentBytes)
{
    const std::uint64_t sent = m_accepted - std::min<std::uint64_t>(unsentBytes, m_accepted);
    while (!m_frameEnds.empty() && m_frameEnds.front() <= sent)
        m_frameEnds.pop_front();
}

SerialChannel::Failure SerialChannel::Port::failed(Failure failure)
{
    if (m_gone)
        release();
    return failure;
}

void SerialChannel::Port::forget()
{
    m_gone = false;
    m_frameEnds.clear();
    m_accepted = 0;
}

SerialChannel::SerialChannel(std::u16string portName) : m_port(Port::create(std::move(portName))) {}

SerialChannel::~SerialChannel()
{
    (void)m_port->close();
}

SerialChannel::Failure SerialChannel::open()
{
    return m_port->open();
}

SerialChannel::Failure SerialChannel::output(const std::vector<std::uint8_t> &bytes)
{
    return m_port->output(bytes);
}

SerialChannel::Failure SerialChannel::close()
{
    return m_port->close();
}

bool SerialChannel::hasPending() const
{
    return m_port->holdsPending();
}

SerialChannel::Failure SerialChannel::pushPending()
{
    return m_port->sendPending();
}

SerialChannel::Handle SerialChannel::pendingHandle() const
{
    return m_port->pendingHandle();
}

bool SerialChannel::portOpen() const
{
    return m_port->isOpen();
}

const std::u16string &SerialChannel::portName() const
{
    return m_port->name();
}
