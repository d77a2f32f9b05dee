#include "pairing/PairingListener.hpp"

#include "pairing/FramedReceive.hpp"
#include "pairing/PairingFraming.hpp"
#include "platform/network/Listener.hpp"

#include <atomic>
#include <mutex>

namespace ravnix {

struct PairingListener::Core : std::enable_shared_from_this<Core> {
    explicit Core(Options o) : options(std::move(o)) {}

    const Options options;
    RequestHandler onRequest;
    CancelHandler onCancelled;
    ErrorHandler onError;

    std::mutex queueLock; // guards queue, cleared before the queue is destroyed
    DispatchQueue* queue = nullptr;
    std::mutex listenerLock; // guards listener
    std::shared_ptr<Listener> listener;
    std::atomic<std::uint16_t> port{0};

    // The exchange; queue only.
    std::shared_ptr<Connection> connection;
    std::vector<std::uint8_t> buffer;
    std::optional<PairingHandshake> handshake;
    std::optional<PairingHello> pendingHello;
    std::optional<PairingOutcome> pendingOutcome;
    bool phoneAccepted = false;
    // The user has answered: the exchange only waits for its close, and neither a later
    // decision of the phone nor a second answer produces anything.
    bool isAnswered = false;
    // Counts connections taken, so that late events of an ended exchange (its receive
    // completions, its deadline, the delayed close) cannot touch the next one.
    std::uint64_t exchange = 0;

    void post(std::move_only_function<void()> task) {
        std::lock_guard guard(queueLock);
        if (queue != nullptr) {
            queue->async(std::move(task));
        }
    }

    // `task` runs on the queue after `delay`, while the core lives.
    void after(std::chrono::milliseconds delay, std::move_only_function<void(Core&)> task) {
        auto run = [weak = weak_from_this(), task = std::move(task)]() mutable {
            if (auto self = weak.lock()) {
                task(*self);
            }
        };
        if (options.scheduler) {
            options.scheduler(delay, [weak = weak_from_this(), run = std::move(run)]() mutable {
                if (auto self = weak.lock()) {
                    self->post(std::move(run));
                }
            });
            return;
        }
        std::lock_guard guard(queueLock);
        if (queue != nullptr) {
            queue->asyncAfter(delay, std::move(run));
        }
    }

    bool isCurrent(std::uint64_t which) const { return connection && exchange == which; }

    void error(const std::string& text) const {
        if (onError) {
            onError(text);
        }
    }
    void cancelled() const {
        if (onCancelled) {
            onCancelled();
        }
    }

    void reset() {
        if (connection) {
            connection->cancel();
            connection.reset();
        }
        handshake.reset();
        pendingHello.reset();
        pendingOutcome.reset();
        phoneAccepted = false;
        isAnswered = false;
        buffer.clear();
    }

    // Ends the exchange as the phone's side did; the model drops the request it shows.
    void endExchange() {
        if (connection) {
            reset();
            cancelled();
        }
    }

    void accept(const std::shared_ptr<Connection>& incoming) {
        if (connection) {
            incoming->cancel(); // one exchange at a time; the first phone keeps its own
            return;
        }
        auto made = PairingHandshake::make(Pairing::Role::responder);
        if (!made) {
            incoming->cancel();
            error("el sıkışma: " + Pairing::describe(made.error()));
            return;
        }
        connection = incoming;
        buffer.clear();
        handshake.emplace(std::move(*made));
        phoneAccepted = false;
        const std::uint64_t which = ++exchange;

        connection->setStateHandler([weak = weak_from_this(), which](const Connection::State& s) {
            using Kind = Connection::State::Kind;
            auto self = weak.lock();
            if (self && (s.kind == Kind::failed || s.kind == Kind::cancelled) &&
                self->isCurrent(which)) {
                self->endExchange();
            }
        });
        DispatchQueue* target = nullptr;
        {
            std::lock_guard guard(queueLock);
            target = queue;
        }
        if (target == nullptr) {
            reset();
            return;
        }
        connection->start(*target);
        receiveNext(which);
        after(options.helloDeadline, [which](Core& self) {
            if (self.isCurrent(which) && !self.pendingHello) {
                self.endExchange();
            }
        });
    }

    void receiveNext(std::uint64_t which) { detail::receiveFrames(*this, which); }
    // The phone closed its side or the connection broke.
    void streamEnded() { endExchange(); }

    void send(const PairingMessage& message) {
        auto frame = PairingFraming::encode(message);
        if (frame && connection) {
            connection->send(std::move(*frame));
        }
    }

    void request() const {
        if (pendingHello && pendingOutcome && !isAnswered && onRequest) {
            onRequest(Request{*pendingHello, pendingOutcome->code, *pendingOutcome, phoneAccepted});
        }
    }

    void handleMessages(std::uint64_t which) {
        auto decoded = PairingFraming::decode(buffer);
        if (!decoded) {
            error("çerçeveleme: " + describe(decoded.error()));
            endExchange();
            return;
        }
        for (const PairingMessage& message : *decoded) {
            // Whatever follows in the chunk belongs to an exchange that has ended.
            if (!isCurrent(which)) {
                return;
            }
            switch (message.index()) {
            case PairingMessageCase::hello: {
                const auto& hello = std::get<PairingMessageCase::hello>(message);
                if (!handshake) {
                    break;
                }
                auto outcome = handshake->complete(hello.publicKey);
                if (!outcome) {
                    error("el sıkışma: " + Pairing::describe(outcome.error()));
                    endExchange();
                    break;
                }
                pendingHello = hello;
                pendingOutcome = std::move(*outcome);
                const auto& key = handshake->publicKey();
                send(PairingOffer{options.macIdentifier, options.macName,
                                  std::vector<std::uint8_t>(key.begin(), key.end()),
                                  options.addresses});
                request();
                break;
            }
            case PairingMessageCase::phoneDecision: {
                const auto& decision = std::get<PairingMessageCase::phoneDecision>(message);
                if (!decision.accepted) {
                    cancelled();
                    reset();
                    return;
                }
                phoneAccepted = true;
                request();
                break;
            }
            default: // offer and result go the other way
                break;
            }
        }
    }

    void respond(bool accepted, std::optional<std::uint32_t> pairingID,
                 const std::optional<PairingHello>& to) {
        if (!connection || isAnswered || (to && pendingHello != to)) {
            return;
        }
        isAnswered = true;
        const PairingDecision decision{accepted, accepted ? pairingID : std::nullopt};
        send(makeResult(decision));
        const std::uint64_t which = exchange;
        after(options.closeDelay, [which](Core& self) {
            if (self.exchange == which) {
                self.reset(); // the result had its time to leave; no onCancelled
            }
        });
    }
};

std::expected<std::shared_ptr<PairingListener>, PlatformError>
PairingListener::make(Options options) {
    auto queue = DispatchQueue::create("com.belvor.ravnix.pairing.listener");
    if (!queue) {
        return std::unexpected(queue.error());
    }
    auto core = std::make_shared<Core>(std::move(options));
    core->queue = queue->get();
    return std::shared_ptr<PairingListener>(
        new PairingListener(std::move(core), std::move(*queue)));
}

PairingListener::PairingListener(std::shared_ptr<Core> c, std::unique_ptr<DispatchQueue> q)
    : core(std::move(c)), queue(std::move(q)) {}

PairingListener::~PairingListener() {
    stop();
    drainQueue(*queue);
    {
        std::lock_guard guard(core->queueLock);
        core->queue = nullptr;
    }
    queue.reset(); // joins; no handler runs after this
}

void PairingListener::setOnRequest(RequestHandler handler) {
    core->onRequest = std::move(handler);
}
void PairingListener::setOnCancelled(CancelHandler handler) {
    core->onCancelled = std::move(handler);
}
void PairingListener::setOnError(ErrorHandler handler) {
    core->onError = std::move(handler);
}

std::expected<void, NetworkError> PairingListener::start() {
    std::lock_guard guard(core->listenerLock);
    if (core->listener) {
        return {};
    }
    Listener::Parameters parameters;
    parameters.transport = Transport::tcp;
    parameters.port = core->options.port;
    parameters.anyPortWhenTaken = true;
    parameters.service = Listener::Service{
        core->options.macName, std::string(PairingWire::serviceType), "",
        TxtRecord{
            {std::string(PairingWire::macIdentifierKey), core->options.macIdentifier},
            {std::string(PairingWire::touchPortKey), std::to_string(core->options.touchPort)}}};
    parameters.dnsSd = core->options.dnsSd;
    auto created = Listener::create(std::move(parameters));
    if (!created) {
        return std::unexpected(created.error());
    }
    auto listener = *created;
    listener->setNewConnectionHandler(
        [weak = std::weak_ptr<Core>(core)](std::shared_ptr<Connection> connection) {
            if (auto self = weak.lock()) {
                self->accept(connection);
            } else {
                connection->cancel();
            }
        });
    listener->setStateHandler([weak = std::weak_ptr<Core>(core)](const Listener::State& state) {
        auto self = weak.lock();
        if (self && state.kind == Listener::State::Kind::failed) {
            self->error("dinleyici: " + (state.error ? state.error->text() : std::string("?")));
        }
    });
    core->port = listener->port();
    listener->start(*queue);
    core->listener = std::move(listener);
    return {};
}

void PairingListener::stop() {
    std::shared_ptr<Listener> current;
    {
        std::lock_guard guard(core->listenerLock);
        current = std::move(core->listener);
    }
    if (current) {
        current->cancel();
    }
    core->post([weak = std::weak_ptr<Core>(core)] {
        if (auto self = weak.lock()) {
            self->reset();
        }
    });
}

void PairingListener::respond(bool accepted, std::optional<std::uint32_t> pairingID,
                              std::optional<PairingHello> to) {
    core->post([weak = std::weak_ptr<Core>(core), accepted, pairingID, to = std::move(to)] {
        if (auto self = weak.lock()) {
            self->respond(accepted, pairingID, to);
        }
    });
}

std::uint16_t PairingListener::port() const {
    return core->port.load();
}

} // namespace ravnix
