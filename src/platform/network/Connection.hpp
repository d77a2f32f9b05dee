#pragma once
// A TCP byte stream or a UDP datagram exchange with one peer. Made by Connection::create for
// outgoing connections, or handed out by a Listener for incoming ones.
//
// Threads: every method may be called from any thread and returns at once; the work runs on
// the queue given to start(). Handlers and completions run on that queue, never inside a call
// to this object. Requests made before start() wait for it.
//
// Lifetime: the queue must outlive the connection. Handlers may hold the connection strongly:
// they are released once the connection has failed or been cancelled, which takes a turn of
// the queue, so cancel before stopping the queue. Destroying the last reference cancels the
// connection; an unstarted one just closes.

#include "platform/network/NetworkTypes.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace ravnix {

class DispatchQueue;
class DnsSd;

namespace detail {
class ConnectionCore;
}

class Connection {
  public:
    struct State {
        // setup → preparing → ready → cancelled, with failed possible from preparing and ready
        // and waiting (UDP: the peer refused a datagram) between ready and ready again.
        // failed and cancelled are final; after either no handler or completion is called.
        enum class Kind { setup, preparing, ready, waiting, failed, cancelled };
        Kind kind = Kind::setup;
        std::optional<NetworkError> error; // waiting and failed

        bool operator==(const State&) const = default;
    };
    using StateHandler = std::function<void(const State&)>;
    // `content` is valid during the call only. Streams: 0 bytes with isComplete when the peer
    // closed its side. Datagrams: one whole datagram (possibly empty) with isComplete true.
    // With an error, no content; the error of a cancelled connection has code ECANCELED.
    using ReceiveHandler =
        std::move_only_function<void(std::span<const std::uint8_t> content, bool isComplete,
                                     const std::optional<NetworkError>& error)>;
    // Called once: no error when the bytes were handed to the system.
    using SendCompletion = std::move_only_function<void(const std::optional<NetworkError>& error)>;

    // An outgoing connection, not yet started. A ServiceEndpoint is resolved through `dnsSd`
    // when started (without one the connection fails with EINVAL); a HostEndpoint takes a
    // numeric address or a host name.
    static std::shared_ptr<Connection> create(Endpoint endpoint, Transport transport,
                                              std::shared_ptr<DnsSd> dnsSd = nullptr);

    // Platform-internal: listeners wrap their incoming connections.
    explicit Connection(std::shared_ptr<detail::ConnectionCore> core) noexcept;
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Replaces the state handler; it runs on the queue. Set before start() so that no state goes
    // unseen; a handler set after the connection ended is dropped at once.
    void setStateHandler(StateHandler handler);

    // The first call binds the connection to `queue` and opens it (preparing, then ready or
    // failed); later calls do nothing.
    void start(DispatchQueue& queue);

    // Streams: waits for at least `minimum` (≥ 1) bytes, delivers at most `maximum`; fewer than
    // `minimum` only at the end of the stream or with an error. Datagrams: one datagram, whole,
    // whatever the bounds. Receives complete in the order they were asked for.
    void receive(std::size_t minimum, std::size_t maximum, ReceiveHandler completion);
    // Datagrams: one whole datagram. Streams: the same as receive(1, 65536).
    void receiveMessage(ReceiveHandler completion);

    // Sends `content` marked complete: for UDP one datagram, for TCP bytes of the stream after
    // those sent before. `completion`, when given, reports the outcome.
    void send(std::vector<std::uint8_t> content, SendCompletion completion = {});

    // Closes the connection: outstanding receives and sends complete with ECANCELED, then the
    // state handler reports cancelled (unless the connection had already failed).
    void cancel();

    // Any thread. The peer's address and port on the current path; absent until connected.
    std::optional<HostEndpoint> remoteEndpoint() const;

    // Any thread. TCP or UDP, fixed at creation.
    Transport transport() const noexcept;

  private:
    std::shared_ptr<detail::ConnectionCore> core_;
};

} // namespace ravnix
