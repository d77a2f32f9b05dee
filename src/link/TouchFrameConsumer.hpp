#pragma once
// What the link server needs of the touch interpreter. The server serialises every call
// below with its own interpreter lock, so an implementation sees one call at a time even
// though the UDP receive thread and the peer-route queue both deliver frames.

#include "packet/PacketFormat.hpp"

#include <cstdint>
#include <span>

namespace ravnix {

class TouchFrameConsumer {
  public:
    virtual ~TouchFrameConsumer() = default;

    // One accepted frame: its header and its first fingerCount samples. Runs on the thread
    // that accepted the frame; the time base is header.deviceTimeNanos.
    virtual void handle(const TouchHeader& header, std::span<const FingerSample> fingers) = 0;
    // Which route the next frames come from (true: peer route).
    virtual void setPeerRoute(bool isPeerRoute) = 0;
    // Read without the interpreter lock by the silence check; must be safe to read anytime.
    virtual bool isButtonDown() const = 0;
    // Releases a held left button at the pointer and ends a scroll in progress.
    virtual void safetyRelease() = 0;
    // The pointer injector's count of clamped jumps; safe to read anytime.
    virtual std::uint64_t clampedJumps() const = 0;
};

} // namespace ravnix
