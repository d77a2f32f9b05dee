#pragma once
// The touch link's receiving end: one UDP port, one receive thread, and for every datagram
// the same fixed order of checks (header, kind, authenticity, sequence) before a frame
// reaches the touch interpreter on that same thread. Frames from the peer route enter
// through handlePeerDatagram and share the authenticator table and the interpreter.

#include "link/TouchFrameConsumer.hpp"
#include "security/PacketAuthenticator.hpp"
#include "transport/UDPSocket.hpp"

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace ravnix {

class LinkServer : public std::enable_shared_from_this<LinkServer> {
  public:
    struct Stats {
        std::uint64_t touchPackets = 0;             // frames handed to the interpreter, both routes
        std::uint64_t lostPackets = 0;              // missing from the UDP sequence
        std::uint64_t echoedPings = 0;              // both routes
        double packetsPerSecond = 0;                // UDP frames in the last window / its seconds
        std::optional<double> lastPacketAgoSeconds; // absent until a frame was accepted
        std::uint64_t versionMismatches = 0;        // UDP only
        std::uint64_t rejectedPackets = 0;          // failed authentication, both routes
        bool isPeerRoute = false;
        std::uint64_t reorderedPackets = 0; // late or repeated UDP frames, dropped
        std::uint64_t clampedJumps = 0;     // the injector's counter, after each UDP frame
        bool operator==(const Stats&) const = default;
    };

    using Clock = std::function<std::uint64_t()>;
    using Reply = std::function<void(std::span<const std::uint8_t>)>;

    static constexpr double receiveTimeoutSeconds = 0.25;
    static constexpr const char* threadName = "com.belvor.ravnix.link";

    // Opens nothing. The clock is the monotonic one except in tests.
    static std::shared_ptr<LinkServer>
    make(std::uint16_t port, std::shared_ptr<TouchFrameConsumer> interpreter, Clock clock = {});
    ~LinkServer();
    LinkServer(const LinkServer&) = delete;
    LinkServer& operator=(const LinkServer&) = delete;

    // Binds the port and starts the receive thread. A running thread is stopped and joined
    // first, so a restart never races the old thread for the port. Main thread only.
    std::expected<void, SocketError> start();
    // Ends the receive thread (within one receive timeout) and waits for it. Main thread only.
    void stop();
    // The port actually bound (useful with port 0), 0 before start.
    std::uint16_t boundPort() const;

    // Replaces the whole table; with a repeated pairing ID the later entry wins.
    void updateAuthenticators(const std::vector<PacketAuthenticator>& authenticators);
    // Tells the sender of the last accepted UDP frame goodbye; errors are ignored.
    void sendBye();
    // The peer route's entry, on the caller's thread. `reply` sends back to that peer.
    void handlePeerDatagram(std::span<const std::uint8_t> bytes, const Reply& reply);

    Stats stats() const;

    // Callbacks may be installed before or after start; one not installed is not called.
    // onStats and onSafetyRelease run on the receive thread, onPeerLeft on the thread that
    // received the bye. None runs with a lock held.
    void setOnStats(std::function<void(const Stats&)> callback);
    void setOnSafetyRelease(std::function<void(const std::string&)> callback);
    void setOnPeerLeft(std::function<void()> callback);
    // Kept for the model's peer-route sends; the server itself never calls it.
    void setSendPeer(std::function<void(std::span<const std::uint8_t>)> callback);
    std::shared_ptr<const std::function<void(std::span<const std::uint8_t>)>> sendPeer() const;

  private:
    LinkServer(std::uint16_t port, std::shared_ptr<TouchFrameConsumer> interpreter, Clock clock);

    struct ReceiveState; // the receive thread's own buffers and counters
    void receiveLoop(UDPSocket& socket, std::stop_token stop);
    void touchPath(UDPSocket& socket, ReceiveState& state, std::size_t count,
                   const SocketAddress& sender);
    void pingPath(UDPSocket& socket, ReceiveState& state, std::size_t count,
                  const SocketAddress& sender);
    void periodicChecks(ReceiveState& state);
    void safetyCheck();
    void statisticsWindow(ReceiveState& state, std::uint64_t now);
    std::optional<PacketAuthenticator> authenticate(std::span<const std::uint8_t> datagram,
                                                    std::size_t& bodyLength) const;
    void deliver(bool isPeerRoute, const TouchHeader& header,
                 std::span<const FingerSample> fingers);
    void peerLeft();

    template <typename F> using Slot = std::atomic<std::shared_ptr<const std::function<F>>>;

    const std::uint16_t port;
    const std::shared_ptr<TouchFrameConsumer> interpreter;
    const Clock clock;

    std::jthread thread; // main thread only

    mutable std::mutex statsLock;
    Stats stats_;

    mutable std::mutex authLock;
    std::unordered_map<std::uint32_t, PacketAuthenticator> authenticators;

    mutable std::mutex arrivalLock;
    std::uint64_t lastPacketNanos = 0;

    mutable std::mutex senderLock;
    std::optional<SocketAddress> lastSender; // of the last accepted UDP frame

    mutable std::mutex socketLock;
    std::shared_ptr<UDPSocket> activeSocket;

    // Serialises the two routes and the safety release inside the interpreter. Taken only
    // when no other lock of this class is held.
    std::mutex interpreterLock;

    Slot<void(const Stats&)> onStats;
    Slot<void(const std::string&)> onSafetyRelease;
    Slot<void()> onPeerLeft;
    Slot<void(std::span<const std::uint8_t>)> sendPeer_;
};

} // namespace ravnix
