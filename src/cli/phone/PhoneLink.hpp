#pragma once
// The phone's end of the touch link: authenticated touch frames with the phone's own sequence
// numbers, pings with their pongs, and the notices the desktop sends back (unpaired, bye).
// Two routes carry the same packets: UDP to the desktop's touch port, or the peer link found
// by the desktop's name.
//
// Threads: the owner calls every method from one thread; answers arrive on the route's own
// thread (a receive thread for UDP, the peer client's queue) and wait in an inbox for it.

#include "packet/PacketFormat.hpp"
#include "platform/network/DnsSd.hpp"
#include "security/PacketAuthenticator.hpp"
#include "transport/LatencyStatistics.hpp"
#include "transport/SocketAddress.hpp"

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>

namespace ravnix {

class PhoneLink {
  public:
    struct Counters {
        std::uint64_t framesSent = 0;
        std::uint64_t pingsSent = 0;
        std::uint64_t pongs = 0;
        std::uint64_t unpairedNotices = 0;
        std::uint64_t byes = 0;
        bool operator==(const Counters&) const = default;
    };

    static constexpr int offsetWindow = 64;

    struct PingReport {
        LatencyStatistics statistics;               // round trips in the order measured
        ClockOffsetEstimator offsets{offsetWindow}; // the desktop's clock minus the phone's
    };

    // What a route does: send one whole packet. Answers go to the inbox it was made with.
    class Route {
      public:
        virtual ~Route() = default;
        virtual bool send(std::span<const std::uint8_t> bytes) = 0;
    };
    struct Inbox;

    // UDP to `desktop`, from a port the system picks. One line of text on failure.
    static std::expected<std::unique_ptr<PhoneLink>, std::string>
    overUdp(PacketAuthenticator authenticator, SocketAddress desktop);
    // The peer link service advertised under `desktopName`; waits up to `timeout` for the
    // connection to be ready.
    static std::expected<std::unique_ptr<PhoneLink>, std::string>
    overPeer(PacketAuthenticator authenticator, std::shared_ptr<DnsSd> dnsSd,
             const std::string& desktopName, std::chrono::milliseconds timeout);

    ~PhoneLink();
    PhoneLink(const PhoneLink&) = delete;
    PhoneLink& operator=(const PhoneLink&) = delete;

    // Encodes, tags and sends one frame with the next sequence number; answers that number.
    // `fingers` holds at most five samples.
    std::expected<std::uint32_t, std::string> sendFrame(TouchFlags flags, std::uint8_t clickCount,
                                                        std::span<const FingerSample> fingers,
                                                        std::uint64_t deviceTimeNanos);
    // `count` pings, one after the other: each waits up to `waitEach` for its pong (a later
    // one counts as lost), and the next leaves at least `interval` after the previous.
    PingReport ping(int count, std::chrono::milliseconds interval,
                    std::chrono::milliseconds waitEach);
    // True once an unpaired notice has arrived, waiting up to `limit` for one.
    bool waitForUnpaired(std::chrono::milliseconds limit);

    Counters counters() const;
    // The next frame's sequence number.
    std::uint32_t nextSequence() const noexcept { return sequence; }

  private:
    PhoneLink(PacketAuthenticator authenticator, std::shared_ptr<Inbox> inbox,
              std::unique_ptr<Route> route);

    const PacketAuthenticator authenticator;
    const std::shared_ptr<Inbox> inbox;
    std::unique_ptr<Route> route;
    std::uint32_t sequence;
    std::uint32_t pingSequence = 0;
    std::uint64_t framesSent = 0;
    std::uint64_t pingsSent = 0;
};

// The first sequence number of a new run: the phone's clock in milliseconds. A run that starts
// right after another thus continues above it (no route sends faster than 1000 frames a
// second), so the desktop never drops the new run's frames as late ones.
std::uint32_t firstSequenceNumber() noexcept;

} // namespace ravnix
