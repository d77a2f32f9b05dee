#pragma once
// What a Connection handle drives: the state machine, the queues of receives and sends, and the
// transport underneath (a TCP socket, a connected UDP socket, or a peer of a UDP listener).
// Everything but the entry points marked "any thread" runs on the bound queue only.

#include "platform/network/Connection.hpp"
#include "platform/network/DnsSd.hpp"
#include "platform/network/detail/QueueBinding.hpp"
#include "platform/network/detail/SocketFd.hpp"

#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <vector>

namespace ravnix::detail {

class ListenerCore;

NetworkError toNetworkError(std::string operation, const std::error_code& error);
// An IPv4 peer of a dual-stack socket (::ffff:a.b.c.d) as the IPv4 address it is; others as
// they are.
asio::ip::address plainAddress(const asio::ip::address& address);
// The texts below name plain addresses.
HostEndpoint toHostEndpoint(const asio::ip::address& address, std::uint16_t port);
std::string describe(const asio::ip::address& address, std::uint16_t port);

class ConnectionCore : public std::enable_shared_from_this<ConnectionCore> {
  public:
    using State = Connection::State;
    using Bytes = std::vector<std::uint8_t>;

    explicit ConnectionCore(Transport transport) noexcept : transport_(transport) {}
    virtual ~ConnectionCore() = default;
    ConnectionCore(const ConnectionCore&) = delete;
    ConnectionCore& operator=(const ConnectionCore&) = delete;

    // Any thread: the entry points of Connection.
    void setStateHandler(Connection::StateHandler handler);
    void start(DispatchQueue& queue);
    void receive(std::size_t minimum, std::size_t maximum, Connection::ReceiveHandler completion);
    void send(Bytes content, Connection::SendCompletion completion);
    void cancel();
    // Any thread: for a handle going away. An unstarted connection drops its waiting work and
    // closes with its last reference; a started one is cancelled.
    void release();
    std::optional<HostEndpoint> remoteEndpoint() const;
    Transport transport() const noexcept { return transport_; }
    // True once cancel() was asked for or the connection reached a final state.
    bool isClosing() const noexcept { return closing_.load(std::memory_order_acquire); }

  protected:
    struct ReceiveRequest {
        std::size_t minimum = 1;
        std::size_t maximum = 1;
        Connection::ReceiveHandler completion;
    };
    // Called when the write finished (error or not).
    using WriteDone = std::move_only_function<void(const std::error_code&)>;

    // Transport hooks, on the queue. open() runs after "preparing" was reported and ends in
    // becomeReady() or fail(); pump() serves `receives` while ready or waiting; startWrite()
    // writes one send; closeTransport() stops all I/O.
    virtual void open() = 0;
    virtual void pump() = 0;
    virtual void startWrite(const std::shared_ptr<const Bytes>& bytes, WriteDone done) = 0;
    virtual void closeTransport() noexcept = 0;

    void becomeReady();
    void reportWaiting(NetworkError error);
    void fail(NetworkError error);
    bool isFinal() const noexcept { return finalError_.has_value(); }
    bool isWaiting() const noexcept { return state_.kind == State::Kind::waiting; }
    bool isOpen() const noexcept {
        return state_.kind == State::Kind::ready || state_.kind == State::Kind::waiting;
    }
    void setRemote(HostEndpoint remote);
    DispatchQueue& queue() const noexcept { return binding_.queue(); }
    QueueBinding& binding() noexcept { return binding_; }

    // Completes the first receive; the request is removed before its completion runs.
    void completeFront(std::span<const std::uint8_t> content, bool isComplete);

    // Finds the addresses of an outgoing endpoint: through DNS-SD for a service, by parsing or
    // by the system resolver for a host. Fails the connection when nothing is found.
    void locate(const Endpoint& endpoint, const std::shared_ptr<DnsSd>& dnsSd,
                std::move_only_function<void(std::vector<asio::ip::address>, std::uint16_t)> then);

    std::deque<ReceiveRequest> receives;

  private:
    struct SendRequest {
        std::shared_ptr<const Bytes> bytes;
        Connection::SendCompletion completion;
    };

    void report(State state);
    void finish(State finalState, NetworkError error);
    void transmit();
    void lookUpHost(HostEndpoint host);

    const Transport transport_;
    QueueBinding binding_;
    std::atomic<bool> closing_{false};

    State state_;
    Connection::StateHandler stateHandler_;
    std::optional<NetworkError> finalError_; // what requests after the end complete with
    std::deque<SendRequest> sends_;
    bool isWriting_ = false;
    DnsSd::OperationHandle resolving_;
    std::optional<asio::ip::tcp::resolver> resolver_;

    mutable std::mutex remoteLock_; // guards remote_, read from any thread
    std::optional<HostEndpoint> remote_;
};

// An outgoing TCP or UDP connection, not yet started.
std::shared_ptr<ConnectionCore> makeOutgoingCore(Endpoint endpoint, Transport transport,
                                                 std::shared_ptr<DnsSd> dnsSd);
// An accepted TCP socket; it moves to the queue the connection starts on.
std::shared_ptr<ConnectionCore> makeIncomingTcpCore(SocketFd socket, asio::ip::tcp::endpoint peer);

// One sender of a UDP listener: datagrams arrive through the listener's receive loop, replies
// leave through the listener's socket.
class UdpPeerCore final : public ConnectionCore {
  public:
    UdpPeerCore(std::weak_ptr<ListenerCore> listener, asio::ip::udp::endpoint peer);
    ~UdpPeerCore() override;

    // Any thread (the listener's queue): keeps a copy for the next message receive.
    void deliver(std::span<const std::uint8_t> datagram);

  private:
    void open() override;
    void pump() override;
    void startWrite(const std::shared_ptr<const Bytes>& bytes, WriteDone done) override;
    void closeTransport() noexcept override;

    // Bounded like a socket's receive buffer: an application that stops receiving loses the
    // newest datagrams, as it would with a socket of its own.
    static constexpr std::size_t inboxLimit = 512;

    // Weak: the listener owns the socket and ends its connections when it ends; a connection
    // kept by the new-connection handler must not keep the listener alive in turn.
    const std::weak_ptr<ListenerCore> listener_;
    const asio::ip::udp::endpoint peer_;
    std::mutex inboxLock_; // guards inbox_ and isPumpPosted_
    std::deque<Bytes> inbox_;
    bool isPumpPosted_ = false;
};

} // namespace ravnix::detail
