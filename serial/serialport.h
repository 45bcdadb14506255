// SPDX-License-Identifier: MIT
#pragma once

#include "serialchannel.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

// What the channel promises, kept once for both platforms:
// - A frame goes to the line whole or not at all. One that output() accepted is committed: what the
//   system did not take at once stays here, pending, and goes before anything else, so no fragment
//   ever leaves without the rest of its frame following.
// - Nothing output() accepted is thrown away: the queue is never flushed while the program runs. At
//   most SerialLine::kTransmitBufferSize bytes wait in the driver, so that a stalled line holds back
//   a few frames rather than many.
// - A line is stalled only when it takes no byte for SerialLine::kStallGrace while we wait; a slow
//   line that keeps moving is waited for however long it takes. A stall refuses the new frame whole
//   and leaves the queued ones alone: they go out when the line moves.
// - Only close() on a stalled line may discard the queue, and it then says how many frames did not
//   go out whole.
// Each platform's port supplies the calls below that differ: a POSIX terminal, or the Win32
// communications API with one overlapped write in flight.
class SerialChannel::Port
{
public:
    using Failure = SerialChannel::Failure;

    static std::unique_ptr<Port> create(std::u16string name);

    explicit Port(std::u16string name) : m_name(std::move(name)) {}
    virtual ~Port() = default;
    Port(const Port &) = delete;
    Port &operator=(const Port &) = delete;

    Failure open();
    Failure output(const std::vector<std::uint8_t> &bytes);
    Failure close();
    bool isOpen() const { return isDeviceOpen(); }
    const std::u16string &name() const { return m_name; }
    bool holdsPending() const { return isDeviceOpen() && !m_gone && hasPending(); }
    Failure sendPending();
    // What an event loop waits on while something is pending (SerialChannel::pendingHandle()).
    virtual SerialChannel::Handle pendingHandle() const = 0;

protected:
    using Milliseconds = std::chrono::milliseconds;

    virtual Failure openDevice() = 0;
    virtual bool isDeviceOpen() const = 0;
    // Starts a frame on its way without waiting; what the system does not take at once stays pending.
    // `started` stays false when the system took none of it, and then nothing of it is kept.
    virtual Failure submit(const std::vector<std::uint8_t> &bytes, bool &started) = 0;
    virtual bool hasPending() const = 0;
    // Hands on what is pending as far as the system takes it now, without waiting.
    virtual Failure pushPending() = 0;
    // The bytes accepted that have not yet left for the line, as far as the system shows them:
    // what is pending and what the driver still holds.
    virtual Failure unsent(std::size_t &bytes) = 0;
    // Waits at most `most` for the line to take something: for room after a write that found none.
    virtual void pause(Milliseconds most) = 0;
    // After the queue has emptied: lets the last bytes leave the hardware, waiting for them no longer
    // than the most the hardware may hold takes on the wire, and the stall grace. False when they had
    // not gone by then.
    virtual bool finish() = 0;
    // Drops what is pending, and what the driver's queue shows, for a close on a stalled line: the
    // kernel's close would otherwise wait for the line. A queue that reads empty is left alone, since
    // a pty's hides what it holds, and flushing it would drop frames no count could name (under Wine
    // too, where PurgeComm is a tcflush).
    virtual void discard() = 0;
    virtual void release() = 0;

    // For the platform to pass every failed write through: one that says the device has gone makes
    // every later send say so too.
    Failure failedWrite(PortFailure failure);

private:
    enum class Wait
    {
        Ready,
        Stalled,
        Failed,
    };

    Wait waitForLine(std::size_t room, Failure &failure);
    void forgetSentFrames(std::size_t unsentBytes);
    Failure failed(Failure failure);
    void forget();

    std::u16string m_name;
    bool m_gone = false;
    // Where in the stream of accepted bytes each frame that may still be on its way ends.
    std::deque<std::uint64_t> m_frameEnds;
    std::uint64_t m_accepted = 0;
};
