#pragma once
// Accepts TCP connections, or UDP datagrams grouped by sender into connections, on a port the
// system picks (or a given one), optionally advertised through DNS-SD. By default on every
// address of both IP families; UDP replies leave from the address the peer wrote to.
//
// Threads: every method may be called from any thread and returns at once; handlers run on the
// queue given to start(), never inside a call to this object. The queue must outlive the
// listener. Destroying the last reference cancels the listener.

#include "platform/network/Connection.hpp"
#include "platform/network/NetworkTypes.hpp"

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace ravnix {

class DispatchQueue;
class DnsSd;

namespace detail {
class ListenerCore;
}

class Listener {
  public:
    // What DNS-SD publishes for the listener; the port is the listener's.
    struct Service {
        std::string name;   // instance name wished for; a collision picks another
        std::string type;   // "_ravnix._tcp", "_ravnix-p2p._udp"
        std::string domain; // empty: the default domain
        TxtRecord txt;
    };
    struct Parameters {
        Transport transport = Transport::tcp;
        // A numeric IPv4 or IPv6 address (with "%interface" where needed) to bind to. Empty:
        // every address of both families, through one IPv6 socket that takes IPv4 as well (IPv4
        // alone where the system has no IPv6). Peers' IPv4 addresses read as plain IPv4.
        std::string host;
        std::uint16_t port = 0; // 0: the system picks one
        std::optional<Service> service;
        std::shared_ptr<DnsSd> dnsSd; // required with a service
        // When `port` is taken by another program, the system picks one instead of failing.
        // A wished-for port that firewall rules name is then at least reachable where open.
        bool anyPortWhenTaken = false;
    };
    struct State {
        // setup → ready → cancelled; failed (final) when accepting or advertising breaks.
        enum class Kind { setup, ready, failed, cancelled };
        Kind kind = Kind::setup;
        std::optional<NetworkError> error; // failed only

        bool operator==(const State&) const = default;
    };
    // Each incoming connection once, not yet started: the handler starts it, or cancels or
    // drops it to refuse the peer. Without a handler incoming connections are refused.
    using NewConnectionHandler = std::function<void(std::shared_ptr<Connection>)>;
    using StateHandler = std::function<void(const State&)>;
    // The service each time it is published: first under the wished name, or another one after
    // a name collision, and again after every rename or republication.
    using ServiceHandler = std::function<void(const ServiceEndpoint&)>;

    // Binds the socket (and for TCP listens), so the port is known at once. Fails with the
    // system's error, or EINVAL for a bad host or a service without a DnsSd.
    static std::expected<std::shared_ptr<Listener>, NetworkError> create(Parameters parameters);

    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // The bound port, host byte order.
    std::uint16_t port() const noexcept;

    // Each replaces its handler, which runs on the queue. Set before start() so that no event
    // goes unseen; a handler set after the listener ended is dropped at once.
    void setNewConnectionHandler(NewConnectionHandler handler);
    void setStateHandler(StateHandler handler);
    void setServiceHandler(ServiceHandler handler);

    // The first call binds the listener to `queue`, starts accepting and advertising and
    // reports ready; later calls do nothing.
    void start(DispatchQueue& queue);

    // Stops accepting and withdraws the advertisement; the state handler reports cancelled.
    // TCP connections already handed out live on; UDP connections share the listener's socket
    // and are cancelled with it.
    void cancel();

  private:
    explicit Listener(std::shared_ptr<detail::ListenerCore> core) noexcept;
    std::shared_ptr<detail::ListenerCore> core_;
};

} // namespace ravnix
