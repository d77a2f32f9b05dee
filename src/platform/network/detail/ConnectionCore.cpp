#include "platform/network/detail/ConnectionCore.hpp"

#include "platform/detail/AsioLoop.hpp"
#include "platform/network/detail/ListenerCore.hpp"

#include <algorithm>
#include <asio/connect.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <utility>

namespace ravnix::detail {

namespace {

// Large enough for any UDP datagram; for streams the most one read takes.
constexpr std::size_t readBufferSize = 65536;

NetworkError cancelledError() {
    return NetworkError::fromErrno("cancel", ECANCELED);
}

} // namespace

NetworkError toNetworkError(std::string operation, const std::error_code& error) {
    return NetworkError{std::move(operation), error.value(), error.message()};
}

asio::ip::address plainAddress(const asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    return address;
}

HostEndpoint toHostEndpoint(const asio::ip::address& address, std::uint16_t port) {
    return HostEndpoint{plainAddress(address).to_string(), port};
}

std::string describe(const asio::ip::address& address, std::uint16_t port) {
    const auto plain = plainAddress(address);
    const auto host = plain.to_string();
    return (plain.is_v6() ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// ---- the state machine ----

void ConnectionCore::setStateHandler(Connection::StateHandler handler) {
    binding_.post([self = shared_from_this(), handler = std::move(handler)]() mutable {
        if (!self->isFinal()) {
            self->stateHandler_ = std::move(handler);
        }
    });
}

void ConnectionCore::start(DispatchQueue& queue) {
    binding_.bind(queue, [self = shared_from_this()] {
        if (self->isFinal()) {
            return;
        }
        self->report({State::Kind::preparing, std::nullopt});
        self->open();
    });
}

void ConnectionCore::receive(std::size_t minimum, std::size_t maximum,
                             Connection::ReceiveHandler completion) {
    maximum = std::max<std::size_t>(maximum, 1);
    minimum = std::clamp<std::size_t>(minimum, 1, maximum);
    binding_.post([self = shared_from_this(), minimum, maximum,
                   completion = std::move(completion)]() mutable {
        if (self->isFinal()) {
            completion({}, false, self->finalError_);
            return;
        }
        self->receives.push_back({minimum, maximum, std::move(completion)});
        if (self->isOpen()) {
            self->pump();
        }
    });
}

void ConnectionCore::send(Bytes content, Connection::SendCompletion completion) {
    auto bytes = std::make_shared<const Bytes>(std::move(content));
    binding_.post([self = shared_from_this(), bytes = std::move(bytes),
                   completion = std::move(completion)]() mutable {
        if (self->isFinal()) {
            if (completion) {
                completion(self->finalError_);
            }
            return;
        }
        self->sends_.push_back({std::move(bytes), std::move(completion)});
        if (self->isOpen()) {
            self->transmit();
        }
    });
}

void ConnectionCore::cancel() {
    closing_.store(true, std::memory_order_release);
    binding_.post([self = shared_from_this()] {
        self->finish({State::Kind::cancelled, std::nullopt}, cancelledError());
    });
}

void ConnectionCore::release() {
    if (binding_.abandon()) {
        closing_.store(true, std::memory_order_release);
    } else {
        cancel();
    }
}

std::optional<HostEndpoint> ConnectionCore::remoteEndpoint() const {
    std::lock_guard lock(remoteLock_);
    return remote_;
}

void ConnectionCore::setRemote(HostEndpoint remote) {
    std::lock_guard lock(remoteLock_);
    remote_ = std::move(remote);
}

void ConnectionCore::report(State state) {
    state_ = std::move(state);
    if (stateHandler_) {
        stateHandler_(state_);
    }
}

void ConnectionCore::becomeReady() {
    if (isFinal()) {
        return;
    }
    if (state_.kind != State::Kind::ready) {
        report({State::Kind::ready, std::nullopt});
    }
    pump();
    transmit();
}

void ConnectionCore::reportWaiting(NetworkError error) {
    if (!isFinal() && state_.kind != State::Kind::waiting) {
        report({State::Kind::waiting, std::move(error)});
    }
}

void ConnectionCore::fail(NetworkError error) {
    finish({State::Kind::failed, error}, error);
}

void ConnectionCore::finish(State finalState, NetworkError error) {
    if (isFinal()) {
        return;
    }
    closing_.store(true, std::memory_order_release);
    finalError_ = error;
    state_ = finalState;
    closeTransport();
    resolving_.reset();
    if (resolver_) {
        resolver_->cancel();
    }
    // Everything is taken out first: the completions and the handler may hold this connection's
    // last handle, and they run after the connection is consistent.
    auto pendingReceives = std::exchange(receives, {});
    auto pendingSends = std::exchange(sends_, {});
    auto handler = std::exchange(stateHandler_, nullptr);
    for (auto& request : pendingReceives) {
        request.completion({}, false, error);
    }
    for (auto& request : pendingSends) {
        if (request.completion) {
            request.completion(error);
        }
    }
    if (handler) {
        handler(finalState);
    }
}

void ConnectionCore::completeFront(std::span<const std::uint8_t> content, bool isComplete) {
    auto request = std::move(receives.front());
    receives.pop_front();
    request.completion(content, isComplete, std::nullopt);
}

void ConnectionCore::transmit() {
    if (isWriting_ || sends_.empty() || !isOpen()) {
        return;
    }
    isWriting_ = true;
    startWrite(sends_.front().bytes, [self = shared_from_this()](const std::error_code& error) {
        self->isWriting_ = false;
        if (self->isFinal()) {
            return; // finish() completed the send
        }
        auto completion = std::move(self->sends_.front().completion);
        self->sends_.pop_front();
        if (!error) {
            if (completion) {
                completion(std::nullopt);
            }
            self->transmit();
            return;
        }
        auto failure = toNetworkError("send", error);
        if (completion) {
            completion(failure);
        }
        if (self->transport() == Transport::udp && error == asio::error::connection_refused) {
            // An earlier datagram was refused by the peer's host; later ones may get through.
            self->reportWaiting(std::move(failure));
            self->transmit();
        } else {
            self->fail(std::move(failure));
        }
    });
}

// ---- finding the peer ----

void ConnectionCore::locate(
    const Endpoint& endpoint, const std::shared_ptr<DnsSd>& dnsSd,
    std::move_only_function<void(std::vector<asio::ip::address>, std::uint16_t)> then) {
    if (const auto* host = std::get_if<HostEndpoint>(&endpoint)) {
        asio::error_code error;
        const auto address = asio::ip::make_address(host->host, error);
        if (!error) {
            then({address}, host->port);
            return;
        }
        resolver_.emplace(queue().engine().context());
        resolver_->async_resolve(
            host->host, std::to_string(host->port), asio::ip::resolver_base::numeric_service,
            [self = shared_from_this(), name = host->host, port = host->port,
             then = std::move(then)](const std::error_code& error, const auto& results) mutable {
                if (self->isFinal()) {
                    return;
                }
                if (error) {
                    self->fail(toNetworkError("resolve(" + name + ")", error));
                    return;
                }
                std::vector<asio::ip::address> addresses;
                for (const auto& entry : results) {
                    addresses.push_back(entry.endpoint().address());
                }
                then(std::move(addresses), port);
            });
        return;
    }
    const auto& service = std::get<ServiceEndpoint>(endpoint);
    if (!dnsSd) {
        fail(NetworkError::fromErrno("resolve(" + service.name + ")", EINVAL));
        return;
    }
    auto operation = dnsSd->resolve(service, queue(),
                                    [weak = weak_from_this(), then = std::move(then)](
                                        std::expected<HostEndpoint, NetworkError> result) mutable {
                                        const auto self = weak.lock();
                                        if (!self || self->isFinal()) {
                                            return;
                                        }
                                        self->resolving_.reset();
                                        if (!result) {
                                            self->fail(std::move(result.error()));
                                            return;
                                        }
                                        // DNS-SD answers with a numeric address; a name is looked
                                        // up like any host's.
                                        self->locate(std::move(*result), nullptr, std::move(then));
                                    });
    if (!operation) {
        fail(std::move(operation.error()));
        return;
    }
    resolving_ = std::move(*operation);
}

// ---- TCP ----

namespace {

class TcpCore final : public ConnectionCore {
  public:
    TcpCore(Endpoint target, std::shared_ptr<DnsSd> dnsSd)
        : ConnectionCore(Transport::tcp), target_(std::move(target)), dnsSd_(std::move(dnsSd)) {}
    TcpCore(SocketFd accepted, asio::ip::tcp::endpoint peer)
        : ConnectionCore(Transport::tcp), accepted_(std::move(accepted)), peer_(peer) {
        setRemote(toHostEndpoint(peer.address(), peer.port()));
    }

  private:
    std::shared_ptr<TcpCore> self() {
        return std::static_pointer_cast<TcpCore>(shared_from_this());
    }

    void open() override {
        socket_.emplace(queue().engine().context());
        readBuffer_.resize(readBufferSize);
        if (accepted_) {
            asio::error_code error;
            socket_->assign(peer_.protocol(), accepted_.get(), error);
            if (error) {
                fail(toNetworkError("assign", error));
                return;
            }
            accepted_.release();
            becomeReady();
            return;
        }
        locate(target_, dnsSd_,
               [self = self()](std::vector<asio::ip::address> addresses, std::uint16_t port) {
                   self->connect(std::move(addresses), port);
               });
    }

    void connect(std::vector<asio::ip::address> addresses, std::uint16_t port) {
        std::vector<asio::ip::tcp::endpoint> endpoints;
        for (const auto& address : addresses) {
            endpoints.emplace_back(address, port);
        }
        const auto what = addresses.empty() ? std::string("connect")
                                            : "connect(" + describe(addresses.front(), port) + ")";
        asio::async_connect(*socket_, endpoints,
                            [self = self(), what](const std::error_code& error,
                                                  const asio::ip::tcp::endpoint& connected) {
                                if (self->isFinal()) {
                                    return;
                                }
                                if (error) {
                                    self->fail(toNetworkError(what, error));
                                    return;
                                }
                                asio::error_code ignored;
                                self->socket_->set_option(asio::ip::tcp::no_delay(true), ignored);
                                self->setRemote(
                                    toHostEndpoint(connected.address(), connected.port()));
                                self->becomeReady();
                            });
    }

    void pump() override {
        while (!receives.empty() && !isFinal()) {
            const auto& front = receives.front();
            if (stash_.size() < front.minimum && !atEnd_) {
                if (!isReading_) {
                    read(front.maximum - stash_.size());
                }
                return;
            }
            const auto count = std::min(stash_.size(), front.maximum);
            const bool isComplete = atEnd_ && count == stash_.size();
            completeFront({stash_.data(), count}, isComplete);
            stash_.erase(stash_.begin(), stash_.begin() + static_cast<std::ptrdiff_t>(count));
        }
    }

    void read(std::size_t wanted) {
        isReading_ = true;
        socket_->async_read_some(
            asio::buffer(readBuffer_.data(), std::min(wanted, readBuffer_.size())),
            [self = self()](const std::error_code& error, std::size_t count) {
                self->isReading_ = false;
                if (self->isFinal()) {
                    return;
                }
                if (error == asio::error::eof) {
                    self->atEnd_ = true;
                } else if (error) {
                    self->fail(toNetworkError("receive", error));
                    return;
                }
                self->stash_.insert(self->stash_.end(), self->readBuffer_.begin(),
                                    self->readBuffer_.begin() + static_cast<std::ptrdiff_t>(count));
                self->pump();
            });
    }

    void startWrite(const std::shared_ptr<const Bytes>& bytes, WriteDone done) override {
        asio::async_write(*socket_, asio::buffer(*bytes),
                          [bytes, done = std::move(done)](const std::error_code& error,
                                                          std::size_t) mutable { done(error); });
    }

    void closeTransport() noexcept override {
        accepted_ = SocketFd{};
        if (socket_) {
            asio::error_code ignored;
            socket_->close(ignored);
        }
    }

    const Endpoint target_;
    const std::shared_ptr<DnsSd> dnsSd_;
    SocketFd accepted_; // incoming, until open() hands it to Asio
    asio::ip::tcp::endpoint peer_;

    std::optional<asio::ip::tcp::socket> socket_;
    std::vector<std::uint8_t> readBuffer_;
    std::vector<std::uint8_t> stash_; // read, not yet delivered
    bool atEnd_ = false;              // the peer closed its side
    bool isReading_ = false;
};

// ---- UDP, outgoing ----

class UdpCore final : public ConnectionCore {
  public:
    UdpCore(Endpoint target, std::shared_ptr<DnsSd> dnsSd)
        : ConnectionCore(Transport::udp), target_(std::move(target)), dnsSd_(std::move(dnsSd)) {}

  private:
    std::shared_ptr<UdpCore> self() {
        return std::static_pointer_cast<UdpCore>(shared_from_this());
    }

    void open() override {
        readBuffer_.resize(readBufferSize);
        locate(target_, dnsSd_,
               [self = self()](std::vector<asio::ip::address> addresses, std::uint16_t port) {
                   self->connect(addresses, port);
               });
    }

    void connect(const std::vector<asio::ip::address>& addresses, std::uint16_t port) {
        if (addresses.empty()) {
            fail(NetworkError::fromErrno("connect", EADDRNOTAVAIL));
            return;
        }
        // The touch link is IPv4; prefer it when a name has both.
        const auto chosen = std::find_if(addresses.begin(), addresses.end(),
                                         [](const auto& address) { return address.is_v4(); });
        const asio::ip::udp::endpoint peer(chosen != addresses.end() ? *chosen : addresses.front(),
                                           port);
        const auto what = "connect(" + describe(peer.address(), port) + ")";
        socket_.emplace(queue().engine().context());
        asio::error_code error;
        socket_->open(peer.protocol(), error);
        if (!error) {
            socket_->connect(peer, error);
        }
        if (error) {
            fail(toNetworkError(what, error));
            return;
        }
        setRemote(toHostEndpoint(peer.address(), peer.port()));
        becomeReady();
    }

    void pump() override {
        if (isReading_ || receives.empty() || isFinal()) {
            return;
        }
        isReading_ = true;
        socket_->async_receive(asio::buffer(readBuffer_),
                               [self = self()](const std::error_code& error, std::size_t count) {
                                   self->isReading_ = false;
                                   if (self->isFinal()) {
                                       return;
                                   }
                                   if (error == asio::error::connection_refused) {
                                       // The peer's host answered an earlier datagram with "port
                                       // unreachable".
                                       self->reportWaiting(toNetworkError("receive", error));
                                       self->pump();
                                       return;
                                   }
                                   if (error) {
                                       self->fail(toNetworkError("receive", error));
                                       return;
                                   }
                                   const bool wasWaiting = self->isWaiting();
                                   self->completeFront({self->readBuffer_.data(), count}, true);
                                   if (wasWaiting) {
                                       self->becomeReady(); // serves the next receive too
                                   } else {
                                       self->pump();
                                   }
                               });
    }

    void startWrite(const std::shared_ptr<const Bytes>& bytes, WriteDone done) override {
        socket_->async_send(asio::buffer(*bytes),
                            [bytes, done = std::move(done)](const std::error_code& error,
                                                            std::size_t) mutable { done(error); });
    }

    void closeTransport() noexcept override {
        if (socket_) {
            asio::error_code ignored;
            socket_->close(ignored);
        }
    }

    const Endpoint target_;
    const std::shared_ptr<DnsSd> dnsSd_;
    std::optional<asio::ip::udp::socket> socket_;
    std::vector<std::uint8_t> readBuffer_;
    bool isReading_ = false;
};

} // namespace

std::shared_ptr<ConnectionCore> makeOutgoingCore(Endpoint endpoint, Transport transport,
                                                 std::shared_ptr<DnsSd> dnsSd) {
    if (transport == Transport::tcp) {
        return std::make_shared<TcpCore>(std::move(endpoint), std::move(dnsSd));
    }
    return std::make_shared<UdpCore>(std::move(endpoint), std::move(dnsSd));
}

std::shared_ptr<ConnectionCore> makeIncomingTcpCore(SocketFd socket, asio::ip::tcp::endpoint peer) {
    return std::make_shared<TcpCore>(std::move(socket), peer);
}

// ---- UDP, one sender of a listener ----

UdpPeerCore::UdpPeerCore(std::weak_ptr<ListenerCore> listener, asio::ip::udp::endpoint peer)
    : ConnectionCore(Transport::udp), listener_(std::move(listener)), peer_(peer) {
    setRemote(toHostEndpoint(peer.address(), peer.port()));
}

UdpPeerCore::~UdpPeerCore() {
    if (const auto listener = listener_.lock()) {
        listener->forget(peer_);
    }
}

void UdpPeerCore::deliver(std::span<const std::uint8_t> datagram) {
    bool mustPost = false;
    {
        std::lock_guard lock(inboxLock_);
        if (isClosing()) {
            return;
        }
        if (inbox_.size() < inboxLimit) {
            inbox_.emplace_back(datagram.begin(), datagram.end());
        }
        mustPost = !std::exchange(isPumpPosted_, true);
    }
    if (mustPost) {
        binding().post(
            [self = std::static_pointer_cast<UdpPeerCore>(shared_from_this())] { self->pump(); });
    }
}

void UdpPeerCore::open() {
    becomeReady();
}

void UdpPeerCore::pump() {
    std::unique_lock lock(inboxLock_);
    isPumpPosted_ = false;
    while (!receives.empty() && !inbox_.empty() && isOpen()) {
        auto datagram = std::move(inbox_.front());
        inbox_.pop_front();
        lock.unlock();
        completeFront(datagram, true);
        lock.lock();
    }
}

void UdpPeerCore::startWrite(const std::shared_ptr<const Bytes>& bytes, WriteDone done) {
    // The listener's queue sends; the outcome comes back to this connection's queue.
    auto self = std::static_pointer_cast<UdpPeerCore>(shared_from_this());
    auto reply = [self, done = std::move(done)](const std::error_code& error) mutable {
        self->binding().post([done = std::move(done), error]() mutable { done(error); });
    };
    if (const auto listener = listener_.lock()) {
        listener->sendTo(peer_, bytes, std::move(reply));
    } else {
        reply(asio::error::operation_aborted);
    }
}

void UdpPeerCore::closeTransport() noexcept {
    {
        std::lock_guard lock(inboxLock_);
        inbox_.clear();
    }
    if (const auto listener = listener_.lock()) {
        listener->forget(peer_);
    }
}

} // namespace ravnix::detail
