#include "peerlink/PeerLink.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace ravnix {
namespace {

// Receives one message at a time, for as long as both the connection and its owner live:
// `onMessage(owner, connection, content)` for every non-empty message, then the next receive;
// after an error `onError(owner, connection, error)` and nothing more.
template <typename Owner, typename OnMessage, typename OnError>
void receiveEach(const std::shared_ptr<Connection>& connection, std::weak_ptr<Owner> owner,
                 OnMessage onMessage, OnError onError) {
    connection->receiveMessage([owner, weakConnection = std::weak_ptr<Connection>(connection),
                                onMessage, onError](std::span<const std::uint8_t> content, bool,
                                                    const std::optional<NetworkError>& error) {
        auto self = owner.lock();
        auto current = weakConnection.lock();
        if (!self || !current) {
            return;
        }
        if (!content.empty()) {
            onMessage(*self, current, content);
        }
        if (error) {
            onError(*self, current, *error);
            return;
        }
        receiveEach(current, owner, onMessage, onError);
    });
}

} // namespace

// ---- Listener -------------------------------------------------------------------------

struct PeerLinkListener::Core : std::enable_shared_from_this<Core> {
    std::shared_ptr<DnsSd> dnsSd;
    DispatchQueue* queue = nullptr; // handlers run on it only while it exists
    PacketHandler onPacket;
    TextHandler onError;
    TextHandler onEvent;

    mutable std::mutex lock; // guards connections
    std::vector<std::shared_ptr<Connection>> connections;
    mutable std::mutex listenerLock; // guards listener
    std::shared_ptr<Listener> listener;
    std::uint64_t received = 0; // queue only

    void event(const std::string& text) const {
        if (onEvent) {
            onEvent(text);
        }
    }

    void forget(const Connection* connection) {
        std::shared_ptr<Connection> removed; // released after the lock
        std::lock_guard guard(lock);
        const auto found = std::find_if(connections.begin(), connections.end(),
                                        [&](const auto& c) { return c.get() == connection; });
        if (found != connections.end()) {
            removed = *found;
            connections.erase(found);
        }
    }

    void accept(const std::shared_ptr<Connection>& connection) {
        std::size_t count = 0;
        {
            std::lock_guard guard(lock);
            connections.push_back(connection);
            count = connections.size();
        }
        event("esler arasi baglanti geldi (toplam " + std::to_string(count) + ")");
        connection->setStateHandler(
            [weak = weak_from_this(), connection](const Connection::State& state) {
                auto self = weak.lock();
                if (!self) {
                    return;
                }
                using Kind = Connection::State::Kind;
                const std::string error = state.error ? state.error->text() : std::string();
                switch (state.kind) {
                case Kind::waiting:
                    self->event("gelen baglanti bekliyor: " + error);
                    break;
                case Kind::ready:
                    self->event("gelen baglanti hazir");
                    break;
                case Kind::failed:
                    self->event("gelen baglanti dustu: " + error);
                    self->forget(connection.get());
                    break;
                case Kind::cancelled:
                    self->forget(connection.get());
                    break;
                default:
                    break;
                }
            });
        connection->start(*queue);
        receiveNext(connection);
    }

    void receiveNext(const std::shared_ptr<Connection>& connection) {
        receiveEach(
            connection, weak_from_this(),
            [](Core& self, const std::shared_ptr<Connection>& current,
               std::span<const std::uint8_t> content) {
                ++self.received;
                if (self.received <= 3) {
                    self.event("esler arasi paket #" + std::to_string(self.received) + " · " +
                               std::to_string(content.size()) + " bayt");
                }
                if (self.onPacket) {
                    // Holds its connection weakly: a reply after the peer left is dropped.
                    const Reply reply = [weakConnection = std::weak_ptr<Connection>(current)](
                                            std::span<const std::uint8_t> bytes) {
                        if (auto target = weakConnection.lock()) {
                            target->send(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
                        }
                    };
                    self.onPacket(content, reply);
                }
            },
            [](Core& self, const std::shared_ptr<Connection>& current, const NetworkError& error) {
                // A cancelled connection ends its receive with ECANCELED; that is no receive error.
                if (error.code != ECANCELED) {
                    self.event("alim hatasi: " + error.text());
                }
                self.forget(current.get());
                current->cancel();
            });
    }
};

std::expected<std::shared_ptr<PeerLinkListener>, PlatformError>
PeerLinkListener::make(std::shared_ptr<DnsSd> dnsSd) {
    auto queue = DispatchQueue::create("com.belvor.ravnix.peer.listener");
    if (!queue) {
        return std::unexpected(queue.error());
    }
    auto core = std::make_shared<Core>();
    core->dnsSd = std::move(dnsSd);
    core->queue = queue->get();
    return std::shared_ptr<PeerLinkListener>(
        new PeerLinkListener(std::move(core), std::move(*queue)));
}

PeerLinkListener::PeerLinkListener(std::shared_ptr<Core> c, std::unique_ptr<DispatchQueue> q)
    : core(std::move(c)), queue(std::move(q)) {}

PeerLinkListener::~PeerLinkListener() {
    stop();
    drainQueue(*queue);
    queue.reset(); // joins; no handler runs after this
}

void PeerLinkListener::setOnPacket(PacketHandler handler) {
    core->onPacket = std::move(handler);
}
void PeerLinkListener::setOnError(TextHandler handler) {
    core->onError = std::move(handler);
}
void PeerLinkListener::setOnEvent(TextHandler handler) {
    core->onEvent = std::move(handler);
}

std::expected<void, NetworkError> PeerLinkListener::start(const std::string& name,
                                                          const std::string& macIdentifier,
                                                          std::uint16_t port) {
    std::lock_guard guard(core->listenerLock);
    if (core->listener) {
        return {};
    }
    Listener::Parameters parameters;
    parameters.transport = Transport::udp;
    parameters.port = port;
    parameters.anyPortWhenTaken = true;
    parameters.service =
        Listener::Service{name, std::string(PeerLink::serviceType), "",
                          TxtRecord{{std::string(PeerLink::macIdentifierKey), macIdentifier}}};
    parameters.dnsSd = core->dnsSd;
    auto created = Listener::create(std::move(parameters));
    if (!created) {
        return std::unexpected(created.error());
    }
    auto listener = *created;
    listener->setNewConnectionHandler(
        [weak = std::weak_ptr<Core>(core)](std::shared_ptr<Connection> connection) {
            if (auto self = weak.lock()) {
                self->accept(connection);
            }
        });
    listener->setStateHandler([weak = std::weak_ptr<Core>(core)](const Listener::State& state) {
        auto self = weak.lock();
        if (self && state.kind == Listener::State::Kind::failed && self->onError) {
            self->onError("eşler arası dinleyici: " +
                          (state.error ? state.error->text() : std::string("?")));
        }
    });
    listener->start(*queue);
    core->listener = std::move(listener);
    return {};
}

void PeerLinkListener::send(std::span<const std::uint8_t> bytes) {
    std::vector<std::shared_ptr<Connection>> targets;
    {
        std::lock_guard guard(core->lock);
        targets = core->connections;
    }
    if (targets.empty()) {
        core->event("cevap gonderilemedi: acik esler arasi baglanti yok");
        return;
    }
    for (const auto& connection : targets) {
        connection->send(
            std::vector<std::uint8_t>(bytes.begin(), bytes.end()),
            [weak = std::weak_ptr<Core>(core)](const std::optional<NetworkError>& error) {
                auto self = weak.lock();
                if (self && error) {
                    self->event("cevap hatasi: " + error->text());
                }
            });
    }
}

void PeerLinkListener::stop() {
    std::shared_ptr<Listener> current;
    {
        std::lock_guard guard(core->listenerLock);
        current = std::move(core->listener);
    }
    if (current) {
        current->cancel();
    }
    std::vector<std::shared_ptr<Connection>> open;
    {
        std::lock_guard guard(core->lock);
        open.swap(core->connections);
    }
    for (const auto& connection : open) {
        connection->cancel();
    }
}

std::uint16_t PeerLinkListener::port() const {
    std::lock_guard guard(core->listenerLock);
    return core->listener ? core->listener->port() : 0;
}

std::size_t PeerLinkListener::connectionCount() const {
    std::lock_guard guard(core->lock);
    return core->connections.size();
}

// ---- Client ---------------------------------------------------------------------------

struct PeerLinkClient::Core : std::enable_shared_from_this<Core> {
    std::shared_ptr<DnsSd> dnsSd;
    DispatchQueue* queue = nullptr;
    StateHandler onState;
    PacketHandler onPacket;
    TextHandler onEvent;
    // Queue only.
    std::shared_ptr<Connection> connection;
    std::shared_ptr<Browser> browser;
    std::uint64_t search = 0; // which search a browse result belongs to

    void report(State state) const {
        if (onState) {
            onState(state);
        }
    }
    void event(const std::string& text) const {
        if (onEvent) {
            onEvent(text);
        }
    }
    void closeAll() {
        ++search;
        if (browser) {
            browser->cancel();
            browser.reset();
        }
        if (connection) {
            connection->cancel();
            connection.reset();
        }
    }

    void findAndConnect(const std::string& name) {
        closeAll();
        event("aranıyor: " + name);
        const std::uint64_t mySearch = search;
        browser = Browser::create(std::string(PeerLink::serviceType), "", false, dnsSd);
        browser->setResultsHandler(
            [weak = weak_from_this(), name, mySearch](const std::vector<Browser::Result>& results) {
                auto self = weak.lock();
                if (!self || !self->browser || self->search != mySearch) {
                    return; // a later search or a disconnect replaced this one
                }
                std::string names;
                const Browser::Result* match = nullptr;
                for (const auto& result : results) {
                    names += (names.empty() ? "" : ", ") + result.endpoint.name;
                    if (match == nullptr && result.endpoint.name == name) {
                        match = &result;
                    }
                }
                self->event("bulunanlar: " + names);
                if (match != nullptr) {
                    const ServiceEndpoint endpoint = match->endpoint;
                    self->browser->cancel();
                    self->browser.reset();
                    self->open(endpoint);
                }
            });
        browser->start(*queue);
    }

    void open(Endpoint endpoint) {
        event("uç nokta bulundu, bağlanılıyor");
        if (connection) {
            connection->cancel();
        }
        connection = Connection::create(std::move(endpoint), Transport::udp, dnsSd);
        connection->setStateHandler([weak = weak_from_this()](const Connection::State& state) {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            using Kind = Connection::State::Kind;
            const std::string error = state.error ? state.error->text() : std::string();
            switch (state.kind) {
            case Kind::setup:
            case Kind::preparing:
                self->report({State::Kind::connecting, {}});
                break;
            case Kind::ready:
                self->report({State::Kind::ready, {}});
                break;
            case Kind::waiting:
            case Kind::failed:
                self->report({State::Kind::failed, error});
                break;
            case Kind::cancelled:
                self->report({State::Kind::idle, {}});
                break;
            }
        });
        connection->start(*queue);
        receiveNext(connection);
    }

    void receiveNext(const std::shared_ptr<Connection>& current) {
        receiveEach(
            current, weak_from_this(),
            [](Core& self, const std::shared_ptr<Connection>&,
               std::span<const std::uint8_t> content) {
                if (self.onPacket) {
                    self.onPacket(content);
                }
            },
            [](Core&, const std::shared_ptr<Connection>&, const NetworkError&) {});
    }
};

std::expected<std::shared_ptr<PeerLinkClient>, PlatformError>
PeerLinkClient::make(std::shared_ptr<DnsSd> dnsSd) {
    auto queue = DispatchQueue::create("com.belvor.ravnix.peer.client");
    if (!queue) {
        return std::unexpected(queue.error());
    }
    auto core = std::make_shared<Core>();
    core->dnsSd = std::move(dnsSd);
    core->queue = queue->get();
    return std::shared_ptr<PeerLinkClient>(new PeerLinkClient(std::move(core), std::move(*queue)));
}

PeerLinkClient::PeerLinkClient(std::shared_ptr<Core> c, std::unique_ptr<DispatchQueue> q)
    : core(std::move(c)), queue(std::move(q)) {}

PeerLinkClient::~PeerLinkClient() {
    queue->async([core = core] { core->closeAll(); });
    drainQueue(*queue);
    queue.reset(); // joins; no handler runs after this
}

void PeerLinkClient::setOnState(StateHandler handler) {
    core->onState = std::move(handler);
}
void PeerLinkClient::setOnPacket(PacketHandler handler) {
    core->onPacket = std::move(handler);
}
void PeerLinkClient::setOnEvent(TextHandler handler) {
    core->onEvent = std::move(handler);
}

void PeerLinkClient::connectToServiceNamed(std::string name) {
    queue->async([core = core, name = std::move(name)] { core->findAndConnect(name); });
}

void PeerLinkClient::connectTo(Endpoint endpoint) {
    queue->async([core = core, endpoint = std::move(endpoint)] { core->open(endpoint); });
}

void PeerLinkClient::send(std::vector<std::uint8_t> bytes) {
    queue->async([core = core, bytes = std::move(bytes)]() mutable {
        if (core->connection) {
            core->connection->send(std::move(bytes));
        }
    });
}

void PeerLinkClient::disconnect() {
    queue->async([core = core] { core->closeAll(); });
}

} // namespace ravnix
