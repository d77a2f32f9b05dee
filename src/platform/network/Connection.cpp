#include "platform/network/Connection.hpp"

#include "platform/network/detail/ConnectionCore.hpp"

namespace ravnix {

std::shared_ptr<Connection> Connection::create(Endpoint endpoint, Transport transport,
                                               std::shared_ptr<DnsSd> dnsSd) {
    return std::make_shared<Connection>(
        detail::makeOutgoingCore(std::move(endpoint), transport, std::move(dnsSd)));
}

Connection::Connection(std::shared_ptr<detail::ConnectionCore> core) noexcept
    : core_(std::move(core)) {}

Connection::~Connection() {
    core_->release();
}

void Connection::setStateHandler(StateHandler handler) {
    core_->setStateHandler(std::move(handler));
}

void Connection::start(DispatchQueue& queue) {
    core_->start(queue);
}

void Connection::receive(std::size_t minimum, std::size_t maximum, ReceiveHandler completion) {
    core_->receive(minimum, maximum, std::move(completion));
}

void Connection::receiveMessage(ReceiveHandler completion) {
    // A datagram comes whole whatever the bounds; a stream gives what one read brings.
    core_->receive(1, 65536, std::move(completion));
}

void Connection::send(std::vector<std::uint8_t> content, SendCompletion completion) {
    core_->send(std::move(content), std::move(completion));
}

void Connection::cancel() {
    core_->cancel();
}

std::optional<HostEndpoint> Connection::remoteEndpoint() const {
    return core_->remoteEndpoint();
}

Transport Connection::transport() const noexcept {
    return core_->transport();
}

} // namespace ravnix
