#include "platform/network/Listener.hpp"

#include "platform/network/detail/ListenerCore.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace ravnix {

namespace {

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    int family() const noexcept { return storage.ss_family; }
    const sockaddr* get() const noexcept { return reinterpret_cast<const sockaddr*>(&storage); }
};

SocketAddress anyAddress(int family, std::uint16_t port) {
    SocketAddress address;
    if (family == AF_INET6) {
        auto& any = reinterpret_cast<sockaddr_in6&>(address.storage);
        any.sin6_family = AF_INET6;
        any.sin6_addr = in6addr_any;
        any.sin6_port = htons(port);
        address.length = sizeof any;
    } else {
        auto& any = reinterpret_cast<sockaddr_in&>(address.storage);
        any.sin_family = AF_INET;
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        any.sin_port = htons(port);
        address.length = sizeof any;
    }
    return address;
}

// A numeric address, IPv4 or IPv6 with its scope; nothing for names or junk.
std::optional<SocketAddress> numericAddress(const std::string& host, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    const auto service = std::to_string(port);
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    SocketAddress address;
    if (found->ai_addrlen <= sizeof address.storage) {
        std::memcpy(&address.storage, found->ai_addr, found->ai_addrlen);
        address.length = found->ai_addrlen;
    }
    ::freeaddrinfo(found);
    if (address.length == 0) {
        return std::nullopt;
    }
    return address;
}

void enable(int fd, int level, int option, int value = 1) {
    ::setsockopt(fd, level, option, &value, sizeof value);
}

// A socket bound to `address` (and for TCP listening); `where` names it in errors.
std::expected<detail::SocketFd, NetworkError> openSocket(const SocketAddress& address,
                                                         bool isStream, bool isDualStack,
                                                         const std::string& where) {
    detail::SocketFd socket(
        ::socket(address.family(), (isStream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0));
    if (!socket) {
        return std::unexpected(NetworkError::fromErrno("socket()", errno));
    }
    if (address.family() == AF_INET6) {
        // Explicit either way: the system default (net.ipv6.bindv6only) may be either.
        enable(socket.get(), IPPROTO_IPV6, IPV6_V6ONLY, isDualStack ? 0 : 1);
    }
    if (isStream) {
        // A restarted listener may take its port again while old connections linger.
        enable(socket.get(), SOL_SOCKET, SO_REUSEADDR);
    } else {
        // Each datagram tells which of our addresses it was sent to, so that the reply can
        // leave from that one: a peer whose socket is connected drops answers from any other.
        enable(socket.get(), IPPROTO_IP, IP_PKTINFO);
        if (address.family() == AF_INET6) {
            enable(socket.get(), IPPROTO_IPV6, IPV6_RECVPKTINFO);
        }
    }
    if (::bind(socket.get(), address.get(), address.length) != 0) {
        return std::unexpected(NetworkError::fromErrno("bind(" + where + ")", errno));
    }
    if (isStream && ::listen(socket.get(), SOMAXCONN) != 0) {
        return std::unexpected(NetworkError::fromErrno("listen(" + where + ")", errno));
    }
    return socket;
}

} // namespace

std::expected<std::shared_ptr<Listener>, NetworkError> Listener::create(Parameters parameters) {
    const bool isDualStack = parameters.host.empty();
    const auto where = (isDualStack ? std::string("[::]") : parameters.host) + ":" +
                       std::to_string(parameters.port);
    std::optional<SocketAddress> address = isDualStack
                                               ? anyAddress(AF_INET6, parameters.port)
                                               : numericAddress(parameters.host, parameters.port);
    if (!address) {
        return std::unexpected(NetworkError::fromErrno("bind(" + where + ")", EINVAL));
    }
    if (parameters.service && !parameters.dnsSd) {
        return std::unexpected(
            NetworkError::fromErrno("advertise(" + parameters.service->name + ")", EINVAL));
    }
    const bool isStream = parameters.transport == Transport::tcp;
    auto socket = openSocket(*address, isStream, isDualStack, where);
    if (!socket && isDualStack && socket.error().code == EAFNOSUPPORT) {
        // A system without IPv6: every IPv4 address is all there is.
        address = anyAddress(AF_INET, parameters.port);
        socket =
            openSocket(*address, isStream, false, "0.0.0.0:" + std::to_string(parameters.port));
    }
    if (!socket && socket.error().code == EADDRINUSE && parameters.anyPortWhenTaken &&
        parameters.port != 0) {
        parameters.port = 0;
        return create(std::move(parameters));
    }
    if (!socket) {
        return std::unexpected(std::move(socket.error()));
    }
    SocketAddress bound;
    bound.length = sizeof bound.storage;
    if (::getsockname(socket->get(), reinterpret_cast<sockaddr*>(&bound.storage), &bound.length) !=
        0) {
        return std::unexpected(NetworkError::fromErrno("getsockname()", errno));
    }
    const std::uint16_t port =
        bound.family() == AF_INET6
            ? ntohs(reinterpret_cast<const sockaddr_in6&>(bound.storage).sin6_port)
            : ntohs(reinterpret_cast<const sockaddr_in&>(bound.storage).sin_port);
    auto core = std::make_shared<detail::ListenerCore>(std::move(parameters), std::move(*socket),
                                                       port, bound.family() == AF_INET6);
    return std::shared_ptr<Listener>(new Listener(std::move(core)));
}

Listener::Listener(std::shared_ptr<detail::ListenerCore> core) noexcept : core_(std::move(core)) {}

Listener::~Listener() {
    core_->release();
}

std::uint16_t Listener::port() const noexcept {
    return core_->port();
}

void Listener::setNewConnectionHandler(NewConnectionHandler handler) {
    core_->setNewConnectionHandler(std::move(handler));
}

void Listener::setStateHandler(StateHandler handler) {
    core_->setStateHandler(std::move(handler));
}

void Listener::setServiceHandler(ServiceHandler handler) {
    core_->setServiceHandler(std::move(handler));
}

void Listener::start(DispatchQueue& queue) {
    core_->start(queue);
}

void Listener::cancel() {
    core_->cancel();
}

} // namespace ravnix
