#pragma once
// What a Listener handle drives: the bound socket, the accept or receive loop, the DNS-SD
// advertisement and, for UDP, the table of senders. Queue-only unless marked "any thread".

#include "platform/network/DnsSd.hpp"
#include "platform/network/Listener.hpp"
#include "platform/network/detail/ConnectionCore.hpp"
#include "platform/network/detail/QueueBinding.hpp"
#include "platform/network/detail/SocketFd.hpp"

#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <asio/steady_timer.hpp>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace ravnix::detail {

class ListenerCore : public std::enable_shared_from_this<ListenerCore> {
  public:
    using State = Listener::State;
    using Bytes = std::vector<std::uint8_t>;
    using SendDone = std::move_only_function<void(const std::error_code&)>;

    // `socket` is bound (and for TCP listening) on `port`; an IPv6 socket when `isIPv6`.
    ListenerCore(Listener::Parameters parameters, SocketFd socket, std::uint16_t port, bool isIPv6);
    ~ListenerCore();
    ListenerCore(const ListenerCore&) = delete;
    ListenerCore& operator=(const ListenerCore&) = delete;

    // Any thread: the entry points of Listener.
    std::uint16_t port() const noexcept { return port_; }
    void setNewConnectionHandler(Listener::NewConnectionHandler handler);
    void setStateHandler(Listener::StateHandler handler);
    void setServiceHandler(Listener::ServiceHandler handler);
    void start(DispatchQueue& queue);
    void cancel();
    // Any thread: for a handle going away. Unstarted: drops waiting work; started: cancels.
    void release();

    // Any thread: for the UDP peers. Sends one datagram from the listener's socket, from the
    // address the peer last wrote to; `done` runs on the listener's queue.
    void sendTo(asio::ip::udp::endpoint peer, std::shared_ptr<const Bytes> bytes, SendDone done);
    // Any thread: the peer's entry goes unless a live connection took its place.
    void forget(asio::ip::udp::endpoint peer);

  private:
    // Which of our addresses a datagram was sent to, and through which interface.
    struct Destination {
        asio::ip::address address;
        unsigned interface = 0;
    };
    struct Peer {
        std::weak_ptr<UdpPeerCore> connection;
        std::optional<Destination> replyFrom;
    };

    void open();
    void advertise();
    void acceptNext();
    void acceptPending();
    void receiveNext();
    void receivePending();
    void dispatchDatagram(std::size_t size, const std::optional<Destination>& destination);
    void transmit(const asio::ip::udp::endpoint& peer, std::shared_ptr<const Bytes> bytes,
                  SendDone done);
    void fail(NetworkError error);
    void finish(State finalState);
    bool isFinal() const noexcept {
        return state_.kind == State::Kind::failed || state_.kind == State::Kind::cancelled;
    }

    const Listener::Parameters parameters_;
    const std::uint16_t port_;
    const bool isIPv6_;
    QueueBinding binding_;
    SocketFd socket_; // until open() hands it to Asio

    State state_;
    Listener::NewConnectionHandler newConnectionHandler_;
    Listener::StateHandler stateHandler_;
    Listener::ServiceHandler serviceHandler_;
    DnsSd::OperationHandle advertisement_;

    std::optional<asio::ip::tcp::acceptor> acceptor_;
    std::optional<asio::steady_timer> acceptPause_;
    std::optional<asio::ip::udp::socket> udp_;
    std::vector<std::uint8_t> datagram_;
    asio::ip::udp::endpoint sender_;
    std::map<asio::ip::udp::endpoint, Peer> peers_;
};

} // namespace ravnix::detail
