#include "platform/network/detail/ListenerCore.hpp"

#include "platform/detail/AsioLoop.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <utility>

namespace ravnix::detail {

namespace {

constexpr std::size_t largestDatagram = 65536;
// Connections taken per wake-up before the loop gives other work on the queue a turn.
constexpr int acceptBatch = 64;
// How long accepting rests when the process is out of descriptors or memory.
constexpr auto acceptPause = std::chrono::milliseconds(100);

// accept(2) reports these for one connection that died before it was taken; the next is fine.
bool isPassingAcceptError(int code) {
    switch (code) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

bool isResourceError(int code) {
    return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

// ICMP answers to an earlier datagram: about one peer, not about the listening socket.
bool isPassingReceiveError(const std::error_code& error) {
    return error == asio::error::connection_refused || error == asio::error::host_unreachable ||
           error == asio::error::network_unreachable || error == asio::error::connection_reset;
}

} // namespace

ListenerCore::ListenerCore(Listener::Parameters parameters, SocketFd socket, std::uint16_t port)
    : parameters_(std::move(parameters)), port_(port), socket_(std::move(socket)) {}

ListenerCore::~ListenerCore() = default;

void ListenerCore::setNewConnectionHandler(Listener::NewConnectionHandler handler) {
    binding_.post([self = shared_from_this(), handler = std::move(handler)]() mutable {
        if (!self->isFinal()) {
            self->newConnectionHandler_ = std::move(handler);
        }
    });
}

void ListenerCore::setStateHandler(Listener::StateHandler handler) {
    binding_.post([self = shared_from_this(), handler = std::move(handler)]() mutable {
        if (!self->isFinal()) {
            self->stateHandler_ = std::move(handler);
        }
    });
}

void ListenerCore::setServiceHandler(Listener::ServiceHandler handler) {
    binding_.post([self = shared_from_this(), handler = std::move(handler)]() mutable {
        if (!self->isFinal()) {
            self->serviceHandler_ = std::move(handler);
        }
    });
}

void ListenerCore::start(DispatchQueue& queue) {
    binding_.bind(queue, [self = shared_from_this()] {
        if (!self->isFinal()) {
            self->open();
        }
    });
}

void ListenerCore::cancel() {
    binding_.post([self = shared_from_this()] { self->finish({State::Kind::cancelled, {}}); });
}

void ListenerCore::release() {
    if (!binding_.abandon()) {
        cancel();
    }
}

void ListenerCore::open() {
    auto& context = binding_.queue().engine().context();
    asio::error_code error;
    if (parameters_.transport == Transport::tcp) {
        acceptor_.emplace(context);
        acceptor_->assign(asio::ip::tcp::v4(), socket_.get(), error);
        if (!error) {
            socket_.release();
            // accept4() below must report "nothing pending" rather than block.
            acceptor_->non_blocking(true, error);
        }
    } else {
        udp_.emplace(context);
        udp_->assign(asio::ip::udp::v4(), socket_.get(), error);
        if (!error) {
            socket_.release();
        }
        datagram_.resize(largestDatagram);
    }
    if (error) {
        fail(toNetworkError("listen", error));
        return;
    }
    state_ = {State::Kind::ready, std::nullopt};
    if (stateHandler_) {
        stateHandler_(state_);
    }
    advertise();
    if (isFinal()) {
        return;
    }
    if (acceptor_) {
        acceptNext();
    } else {
        receiveNext();
    }
}

void ListenerCore::advertise() {
    if (!parameters_.service) {
        return;
    }
    const auto& service = *parameters_.service;
    DnsSd::Advertisement advertisement{
        {service.name, service.type, service.domain}, port_, service.txt};
    auto operation = parameters_.dnsSd->advertise(
        std::move(advertisement), binding_.queue(),
        [weak = weak_from_this()](const DnsSd::AdvertiseEvent& event) {
            const auto self = weak.lock();
            if (!self || self->isFinal()) {
                return;
            }
            if (event.kind == DnsSd::AdvertiseEvent::Kind::failed) {
                self->fail(event.error.value_or(NetworkError{"advertise", -1, "failed"}));
            } else if (self->serviceHandler_) {
                self->serviceHandler_(event.service);
            }
        });
    if (!operation) {
        fail(std::move(operation.error()));
        return;
    }
    advertisement_ = std::move(*operation);
}

// ---- TCP ----

void ListenerCore::acceptNext() {
    acceptor_->async_wait(asio::ip::tcp::acceptor::wait_read,
                          [self = shared_from_this()](const std::error_code& error) {
                              if (self->isFinal()) {
                                  return;
                              }
                              if (error) {
                                  self->fail(toNetworkError("accept", error));
                                  return;
                              }
                              self->acceptPending();
                          });
}

void ListenerCore::acceptPending() {
    for (int taken = 0; taken < acceptBatch && !isFinal(); ++taken) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int fd = ::accept4(acceptor_->native_handle(), reinterpret_cast<sockaddr*>(&address),
                                 &length, SOCK_CLOEXEC);
        if (fd < 0) {
            const int code = errno;
            if (code == EAGAIN || code == EWOULDBLOCK) {
                break;
            }
            if (isPassingAcceptError(code)) {
                continue;
            }
            if (isResourceError(code)) {
                acceptPause_.emplace(binding_.queue().engine().context(), acceptPause);
                acceptPause_->async_wait([self = shared_from_this()](const std::error_code& error) {
                    if (!error && !self->isFinal()) {
                        self->acceptNext();
                    }
                });
                return;
            }
            fail(NetworkError::fromErrno("accept()", code));
            return;
        }
        SocketFd accepted(fd);
        if (!newConnectionHandler_ || address.ss_family != AF_INET) {
            continue; // refused: closing tells the peer
        }
        const auto& peer = reinterpret_cast<const sockaddr_in&>(address);
        const asio::ip::tcp::endpoint remote(asio::ip::address_v4(ntohl(peer.sin_addr.s_addr)),
                                             ntohs(peer.sin_port));
        newConnectionHandler_(
            std::make_shared<Connection>(makeIncomingTcpCore(std::move(accepted), remote)));
    }
    if (!isFinal()) {
        acceptNext();
    }
}

// ---- UDP ----

void ListenerCore::receiveNext() {
    udp_->async_receive_from(
        asio::buffer(datagram_), sender_,
        [self = shared_from_this()](const std::error_code& error, std::size_t count) {
            if (self->isFinal()) {
                return;
            }
            if (error && !isPassingReceiveError(error)) {
                self->fail(toNetworkError("receive", error));
                return;
            }
            if (!error) {
                self->dispatchDatagram(count);
            }
            if (!self->isFinal()) {
                self->receiveNext();
            }
        });
}

void ListenerCore::dispatchDatagram(std::size_t size) {
    const std::span<const std::uint8_t> datagram(datagram_.data(), size);
    if (const auto known = peers_.find(sender_); known != peers_.end()) {
        if (const auto peer = known->second.lock(); peer && !peer->isClosing()) {
            peer->deliver(datagram);
            return;
        }
        peers_.erase(known); // that connection ended: the sender starts a new one
    }
    if (!newConnectionHandler_) {
        return;
    }
    auto peer = std::make_shared<UdpPeerCore>(shared_from_this(), sender_);
    peers_[sender_] = peer;
    peer->deliver(datagram);
    newConnectionHandler_(std::make_shared<Connection>(std::move(peer)));
}

void ListenerCore::sendTo(asio::ip::udp::endpoint peer, std::shared_ptr<const Bytes> bytes,
                          SendDone done) {
    binding_.post([self = shared_from_this(), peer, bytes = std::move(bytes),
                   done = std::move(done)]() mutable {
        if (self->isFinal() || !self->udp_) {
            done(asio::error::operation_aborted);
            return;
        }
        self->udp_->async_send_to(
            asio::buffer(*bytes), peer,
            [self, bytes, done = std::move(done)](const std::error_code& error,
                                                  std::size_t) mutable { done(error); });
    });
}

void ListenerCore::forget(asio::ip::udp::endpoint peer) {
    binding_.post([self = shared_from_this(), peer] {
        const auto known = self->peers_.find(peer);
        if (known == self->peers_.end()) {
            return;
        }
        const auto current = known->second.lock();
        if (!current || current->isClosing()) {
            self->peers_.erase(known);
        }
    });
}

// ---- the end ----

void ListenerCore::fail(NetworkError error) {
    finish({State::Kind::failed, std::move(error)});
}

void ListenerCore::finish(State finalState) {
    if (isFinal()) {
        return;
    }
    state_ = finalState;
    asio::error_code ignored;
    if (acceptor_) {
        acceptor_->close(ignored);
    }
    if (acceptPause_) {
        acceptPause_->cancel();
    }
    if (udp_) {
        udp_->close(ignored);
    }
    socket_ = SocketFd{};
    advertisement_.reset();
    // The UDP connections read through this socket, so they end with it.
    for (const auto& [endpoint, weak] : std::exchange(peers_, {})) {
        if (const auto peer = weak.lock()) {
            peer->cancel();
        }
    }
    newConnectionHandler_ = nullptr;
    serviceHandler_ = nullptr;
    if (auto handler = std::exchange(stateHandler_, nullptr)) {
        handler(finalState);
    }
}

} // namespace ravnix::detail
