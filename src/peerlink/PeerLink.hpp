#pragma once
// The second route for touch frames: the desktop advertises a datagram service and accepts
// any number of peers; every message goes, unchanged, to a packet callback with a function
// that replies on the same connection. The client is the phone's end of the same route.
// Neither knows the packet format: the link server authenticates every message later.

#include "platform/DispatchQueue.hpp"
#include "platform/PlatformError.hpp"
#include "platform/network/Browser.hpp"
#include "platform/network/Connection.hpp"
#include "platform/network/DnsSd.hpp"
#include "platform/network/Listener.hpp"

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ravnix {

struct PeerLink {
    PeerLink() = delete;
    static constexpr std::string_view serviceType = "_ravnix-p2p._udp";
    static constexpr std::string_view macIdentifierKey = "mac";
};

class PeerLinkListener {
  public:
    using Reply = std::function<void(std::span<const std::uint8_t>)>;
    using PacketHandler = std::function<void(std::span<const std::uint8_t>, const Reply&)>;
    using TextHandler = std::function<void(const std::string&)>;

    // Creates the queue "com.belvor.ravnix.peer.listener"; advertises through `dnsSd`.
    static std::expected<std::shared_ptr<PeerLinkListener>, PlatformError>
    make(std::shared_ptr<DnsSd> dnsSd);
    ~PeerLinkListener();

    PeerLinkListener(const PeerLinkListener&) = delete;
    PeerLinkListener& operator=(const PeerLinkListener&) = delete;

    // Install before start(); they run on the listener's queue.
    void setOnPacket(PacketHandler handler);
    void setOnError(TextHandler handler);
    void setOnEvent(TextHandler handler);

    // Binds UDP `port` (another one the system picks when it is taken, or for 0) and
    // advertises `name` with the TXT entry "mac". Once: a second call does nothing.
    std::expected<void, NetworkError>
    start(const std::string& name, const std::string& macIdentifier, std::uint16_t port = 0);
    // Any thread: the bytes to every open connection.
    void send(std::span<const std::uint8_t> bytes);
    // Cancels the listener and every connection.
    void stop();

    std::uint16_t port() const;
    std::size_t connectionCount() const;

  private:
    struct Core; // shared with the handlers, which never hold this object itself
    PeerLinkListener(std::shared_ptr<Core> core, std::unique_ptr<DispatchQueue> queue);

    std::shared_ptr<Core> core;
    std::unique_ptr<DispatchQueue> queue; // joined in the destructor, on the owner's thread
};

class PeerLinkClient {
  public:
    struct State {
        enum class Kind { failed, idle, connecting, ready };
        Kind kind = Kind::idle;
        std::string text; // failed only: the connection error
        bool operator==(const State&) const = default;
    };
    using StateHandler = std::function<void(const State&)>;
    using PacketHandler = std::function<void(std::span<const std::uint8_t>)>;
    using TextHandler = std::function<void(const std::string&)>;

    // Creates the queue "com.belvor.ravnix.peer.client"; browses and resolves through `dnsSd`.
    static std::expected<std::shared_ptr<PeerLinkClient>, PlatformError>
    make(std::shared_ptr<DnsSd> dnsSd);
    ~PeerLinkClient();

    PeerLinkClient(const PeerLinkClient&) = delete;
    PeerLinkClient& operator=(const PeerLinkClient&) = delete;

    // Install before connecting; they run on the client's queue.
    void setOnState(StateHandler handler);
    void setOnPacket(PacketHandler handler);
    void setOnEvent(TextHandler handler);

    // All return at once; the work runs on the client's queue.
    void connectToServiceNamed(std::string name);
    void connectTo(Endpoint endpoint);
    void send(std::vector<std::uint8_t> bytes);
    void disconnect();

  private:
    struct Core; // shared with the handlers, which never hold this object itself
    PeerLinkClient(std::shared_ptr<Core> core, std::unique_ptr<DispatchQueue> queue);

    std::shared_ptr<Core> core;
    std::unique_ptr<DispatchQueue> queue; // joined in the destructor, on the owner's thread
};

} // namespace ravnix
