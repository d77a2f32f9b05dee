#include "platform/network/detail/ListenerCore.hpp"

#include "platform/detail/AsioLoop.hpp"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <utility>

namespace ravnix::detail {

namespace {

constexpr std::size_t largestDatagram = 65536;
// Connections or datagrams taken per wake-up before the loop gives other work on the queue a
// turn.
constexpr int acceptBatch = 64;
constexpr int receiveBatch = 64;
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
bool isPassingReceiveError(int code) {
    return code == EINTR || code == ECONNREFUSED || code == EHOSTUNREACH || code == ENETUNREACH ||
           code == ECONNRESET;
}

// Room for one IP_PKTINFO and one IPV6_PKTINFO control message.
constexpr std::size_t controlSize =
    CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(in6_pktinfo));

} // namespace

ListenerCore::ListenerCore(Listener::Parameters parameters, SocketFd socket, std::uint16_t port,
                           bool isIPv6)
    : parameters_(std::move(parameters)), port_(port), isIPv6_(isIPv6), socket_(std::move(socket)) {
}

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
        acceptor_->assign(isIPv6_ ? asio::ip::tcp::v6() : asio::ip::tcp::v4(), socket_.get(),
                          error);
        if (!error) {
            socket_.release();
            // accept4() below must report "nothing pending" rather than block.
            acceptor_->non_blocking(true, error);
        }
    } else {
        udp_.emplace(context);
        udp_->assign(isIPv6_ ? asio::ip::udp::v6() : asio::ip::udp::v4(), socket_.get(), error);
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
        asio::ip::tcp::endpoint remote;
        if (!newConnectionHandler_ ||
            (address.ss_family != AF_INET && address.ss_family != AF_INET6) ||
            length > remote.capacity()) {
            continue; // refused: closing tells the peer
        }
        std::memcpy(remote.data(), &address, length);
        remote.resize(length);
        newConnectionHandler_(
            std::make_shared<Connection>(makeIncomingTcpCore(std::move(accepted), remote)));
    }
    if (!isFinal()) {
        acceptNext();
    }
}

// ---- UDP ----

void ListenerCore::receiveNext() {
    udp_->async_wait(asio::ip::udp::socket::wait_read,
                     [self = shared_from_this()](const std::error_code& error) {
                         if (self->isFinal()) {
                             return;
                         }
                         if (error) {
                             self->fail(toNetworkError("receive", error));
                             return;
                         }
                         self->receivePending();
                     });
}

// recvmsg() rather than Asio's receive: the control messages name the address each datagram
// was sent to.
void ListenerCore::receivePending() {
    for (int taken = 0; taken < receiveBatch && !isFinal(); ++taken) {
        iovec content{datagram_.data(), datagram_.size()};
        alignas(cmsghdr) std::array<unsigned char, controlSize> control{};
        msghdr message{};
        message.msg_name = sender_.data();
        message.msg_namelen = static_cast<socklen_t>(sender_.capacity());
        message.msg_iov = &content;
        message.msg_iovlen = 1;
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        const auto count = ::recvmsg(udp_->native_handle(), &message, MSG_DONTWAIT);
        if (count < 0) {
            const int code = errno;
            if (code == EAGAIN || code == EWOULDBLOCK) {
                break;
            }
            if (isPassingReceiveError(code)) {
                continue;
            }
            fail(NetworkError::fromErrno("recvmsg()", code));
            return;
        }
        sender_.resize(message.msg_namelen);
        std::optional<Destination> destination;
        for (auto* header = CMSG_FIRSTHDR(&message); header != nullptr;
             header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
                in_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(header), sizeof info);
                destination = Destination{asio::ip::address_v4(ntohl(info.ipi_addr.s_addr)),
                                          static_cast<unsigned>(info.ipi_ifindex)};
            } else if (header->cmsg_level == IPPROTO_IPV6 && header->cmsg_type == IPV6_PKTINFO &&
                       !destination) {
                in6_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(header), sizeof info);
                asio::ip::address_v6::bytes_type bytes;
                std::memcpy(bytes.data(), &info.ipi6_addr, bytes.size());
                destination =
                    Destination{plainAddress(asio::ip::address_v6(bytes)), info.ipi6_ifindex};
            }
        }
        dispatchDatagram(static_cast<std::size_t>(count), destination);
    }
    if (!isFinal()) {
        receiveNext();
    }
}

void ListenerCore::dispatchDatagram(std::size_t size,
                                    const std::optional<Destination>& destination) {
    const std::span<const std::uint8_t> datagram(datagram_.data(), size);
    if (const auto known = peers_.find(sender_); known != peers_.end()) {
        if (const auto peer = known->second.connection.lock(); peer && !peer->isClosing()) {
            known->second.replyFrom = destination;
            peer->deliver(datagram);
            return;
        }
        peers_.erase(known); // that connection ended: the sender starts a new one
    }
    if (!newConnectionHandler_) {
        return;
    }
    auto peer = std::make_shared<UdpPeerCore>(shared_from_this(), sender_);
    peers_[sender_] = Peer{peer, destination};
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
        self->transmit(peer, std::move(bytes), std::move(done));
    });
}

namespace {

// One datagram to `peer`, from `from` when given. Returns 0 or the errno.
int sendDatagram(int fd, const asio::ip::udp::endpoint& peer, std::span<const std::uint8_t> bytes,
                 const asio::ip::address* from, unsigned interface) {
    iovec content{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
    alignas(cmsghdr) std::array<unsigned char, controlSize> control{};
    msghdr message{};
    message.msg_name = const_cast<sockaddr*>(peer.data());
    message.msg_namelen = static_cast<socklen_t>(peer.size());
    message.msg_iov = &content;
    message.msg_iovlen = 1;
    if (from != nullptr) {
        message.msg_control = control.data();
        auto* header = reinterpret_cast<cmsghdr*>(control.data());
        if (from->is_v4()) {
            // Also understood for an IPv4 peer of a dual-stack socket.
            in_pktinfo info{};
            info.ipi_spec_dst.s_addr = htonl(from->to_v4().to_uint());
            header->cmsg_level = IPPROTO_IP;
            header->cmsg_type = IP_PKTINFO;
            header->cmsg_len = CMSG_LEN(sizeof info);
            std::memcpy(CMSG_DATA(header), &info, sizeof info);
            message.msg_controllen = CMSG_SPACE(sizeof info);
        } else {
            in6_pktinfo info{};
            const auto address = from->to_v6().to_bytes();
            std::memcpy(&info.ipi6_addr, address.data(), address.size());
            info.ipi6_ifindex = interface;
            header->cmsg_level = IPPROTO_IPV6;
            header->cmsg_type = IPV6_PKTINFO;
            header->cmsg_len = CMSG_LEN(sizeof info);
            std::memcpy(CMSG_DATA(header), &info, sizeof info);
            message.msg_controllen = CMSG_SPACE(sizeof info);
        }
    }
    return ::sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL) < 0 ? errno : 0;
}

// A destination a reply may leave from: our unicast address, not a group the datagram went to.
bool isReplySource(const asio::ip::address& address) {
    return !address.is_unspecified() && !address.is_multicast() &&
           !(address.is_v4() && address.to_v4() == asio::ip::address_v4::broadcast());
}

} // namespace

void ListenerCore::transmit(const asio::ip::udp::endpoint& peer, std::shared_ptr<const Bytes> bytes,
                            SendDone done) {
    const asio::ip::address* from = nullptr;
    unsigned interface = 0;
    if (const auto known = peers_.find(peer); known != peers_.end() && known->second.replyFrom &&
                                              isReplySource(known->second.replyFrom->address)) {
        from = &known->second.replyFrom->address;
        interface = known->second.replyFrom->interface;
    }
    const int fd = udp_->native_handle();
    int code = sendDatagram(fd, peer, *bytes, from, interface);
    if (from != nullptr && (code == EINVAL || code == EADDRNOTAVAIL)) {
        // That address is ours no more (a renewed lease): any of ours is better than none.
        code = sendDatagram(fd, peer, *bytes, nullptr, 0);
    }
    if (code == EAGAIN || code == EWOULDBLOCK) {
        udp_->async_wait(asio::ip::udp::socket::wait_write,
                         [self = shared_from_this(), peer, bytes = std::move(bytes),
                          done = std::move(done)](const std::error_code& error) mutable {
                             if (error || self->isFinal()) {
                                 done(error ? error : asio::error::operation_aborted);
                                 return;
                             }
                             self->transmit(peer, std::move(bytes), std::move(done));
                         });
        return;
    }
    done(std::error_code(code, std::system_category()));
}

void ListenerCore::forget(asio::ip::udp::endpoint peer) {
    binding_.post([self = shared_from_this(), peer] {
        const auto known = self->peers_.find(peer);
        if (known == self->peers_.end()) {
            return;
        }
        const auto current = known->second.connection.lock();
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
    for (const auto& [endpoint, entry] : std::exchange(peers_, {})) {
        if (const auto peer = entry.connection.lock()) {
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
