#include "platform/network/Listener.hpp"

#include "platform/network/detail/ListenerCore.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>

namespace ravnix {

std::expected<std::shared_ptr<Listener>, NetworkError> Listener::create(Parameters parameters) {
    const auto where = parameters.host + ":" + std::to_string(parameters.port);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(parameters.port);
    if (::inet_pton(AF_INET, parameters.host.c_str(), &address.sin_addr) != 1) {
        return std::unexpected(NetworkError::fromErrno("bind(" + where + ")", EINVAL));
    }
    if (parameters.service && !parameters.dnsSd) {
        return std::unexpected(
            NetworkError::fromErrno("advertise(" + parameters.service->name + ")", EINVAL));
    }
    const bool isStream = parameters.transport == Transport::tcp;
    detail::SocketFd socket(
        ::socket(AF_INET, (isStream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0));
    if (!socket) {
        return std::unexpected(NetworkError::fromErrno("socket()", errno));
    }
    if (isStream) {
        // A restarted listener may take its port again while old connections linger.
        const int on = 1;
        ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return std::unexpected(NetworkError::fromErrno("bind(" + where + ")", errno));
    }
    if (isStream && ::listen(socket.get(), SOMAXCONN) != 0) {
        return std::unexpected(NetworkError::fromErrno("listen(" + where + ")", errno));
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        return std::unexpected(NetworkError::fromErrno("getsockname()", errno));
    }
    auto core = std::make_shared<detail::ListenerCore>(std::move(parameters), std::move(socket),
                                                       ntohs(bound.sin_port));
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
