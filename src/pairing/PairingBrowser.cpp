#include "pairing/PairingBrowser.hpp"

#include "pairing/FramedReceive.hpp"
#include "pairing/PairingFraming.hpp"
#include "platform/network/Connection.hpp"
#include "security/PairingHandshake.hpp"

#include <algorithm>
#include <charconv>
#include <mutex>

namespace ravnix {

namespace {
constexpr std::uint16_t defaultTouchPort = 9931;
} // namespace

std::uint16_t PairingBrowser::touchPortFrom(std::string_view text) {
    if (text.starts_with('+')) {
        text.remove_prefix(1);
    }
    std::uint16_t port = 0;
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, port);
    if (text.empty() || failure != std::errc() || stop != end) {
        return defaultTouchPort;
    }
    return port;
}

std::vector<PairingBrowser::DiscoveredMac>
PairingBrowser::discoveredMacs(const std::vector<Browser::Result>& results) {
    std::vector<DiscoveredMac> macs;
    macs.reserve(results.size());
    for (const auto& result : results) {
        DiscoveredMac mac{result.endpoint.name, result.endpoint.name, defaultTouchPort,
                          result.endpoint};
        if (result.txt) {
            if (auto id = result.txt->find(std::string(PairingWire::macIdentifierKey));
                id != result.txt->end()) {
                mac.id = id->second;
            }
            if (auto port = result.txt->find(std::string(PairingWire::touchPortKey));
                port != result.txt->end()) {
                mac.touchPort = touchPortFrom(port->second);
            }
        }
        macs.push_back(std::move(mac));
    }
    // std::string compares bytes, so "A" < "a" < "b" whatever the locale.
    std::stable_sort(macs.begin(), macs.end(),
                     [](const auto& a, const auto& b) { return a.name < b.name; });
    return macs;
}

std::vector<std::string> PairingBrowser::hostsList(const std::optional<HostEndpoint>& connected,
                                                   const std::vector<std::string>& offered) {
    std::vector<std::string> hosts;
    if (connected) {
        std::string host = connected->host.substr(0, connected->host.find('%'));
        if (!host.empty()) {
            hosts.push_back(std::move(host));
        }
    }
    // A repeated offered address is kept once too: a phone would only try it twice.
    for (const auto& address : offered) {
        if (std::find(hosts.begin(), hosts.end(), address) == hosts.end()) {
            hosts.push_back(address);
        }
    }
    return hosts;
}

struct PairingBrowser::Core : std::enable_shared_from_this<Core> {
    std::shared_ptr<DnsSd> dnsSd;
    DispatchQueue* queue = nullptr; // valid while work runs on it
    DiscoveryHandler onDiscovery;
    StepHandler onStep;

    // Queue only.
    std::shared_ptr<Browser> browser;
    std::shared_ptr<Connection> connection;
    std::vector<std::uint8_t> buffer;
    std::optional<PairingHandshake> handshake;
    std::optional<PairingOutcome> outcome;
    std::optional<DiscoveredMac> target;
    std::optional<PairingHello> hello;
    std::vector<std::string> offeredAddresses;
    std::uint64_t attempt = 0; // tells late events of an ended attempt from the current one

    bool isCurrent(std::uint64_t which) const { return connection && attempt == which; }

    void step(PairingStep::Case value) const {
        if (onStep) {
            onStep(PairingStep{std::move(value)});
        }
    }

    void reset() {
        if (connection) {
            connection->cancel();
            connection.reset();
        }
        handshake.reset();
        outcome.reset();
        hello.reset();
        buffer.clear();
    }

    void send(const PairingMessage& message) {
        auto frame = PairingFraming::encode(message);
        if (frame && connection) {
            connection->send(std::move(*frame));
        }
    }

    void startBrowsing() {
        if (browser) {
            return;
        }
        browser = Browser::create(std::string(PairingWire::serviceType), "", true, dnsSd);
        browser->setResultsHandler([weak = weak_from_this()](const auto& results) {
            auto self = weak.lock();
            if (self && self->onDiscovery) {
                self->onDiscovery(discoveredMacs(results));
            }
        });
        browser->start(*queue);
    }

    void stopBrowsing() {
        if (browser) {
            browser->cancel();
            browser.reset();
        }
    }

    void pair(DiscoveredMac mac, Identity identity) {
        reset();
        target = std::move(mac);
        offeredAddresses.clear();
        auto made = PairingHandshake::make(Pairing::Role::initiator);
        if (!made) {
            step(PairingStep::Failed{"el sıkışma: " + Pairing::describe(made.error())});
            return;
        }
        handshake.emplace(std::move(*made));
        const auto& key = handshake->publicKey();
        hello = PairingHello{std::move(identity.deviceID), std::move(identity.displayName),
                             std::move(identity.model),
                             std::vector<std::uint8_t>(key.begin(), key.end())};
        connection = Connection::create(target->endpoint, Transport::tcp, dnsSd);
        const std::uint64_t which = ++attempt;
        connection->setStateHandler([weak = weak_from_this(), which](const Connection::State& s) {
            auto self = weak.lock();
            if (!self || !self->isCurrent(which)) {
                return;
            }
            if (s.kind == Connection::State::Kind::ready && self->hello) {
                self->send(*self->hello);
            } else if (s.kind == Connection::State::Kind::failed) {
                self->step(PairingStep::Failed{s.error ? s.error->text() : std::string("?")});
                self->reset();
            }
        });
        connection->start(*queue);
        receiveNext(which);
    }

    void receiveNext(std::uint64_t which) { detail::receiveFrames(*this, which); }
    // The phone closed its side or the connection broke.
    void streamEnded() { reset(); }

    void handleMessages(std::uint64_t which) {
        auto decoded = PairingFraming::decode(buffer);
        if (!decoded) {
            step(PairingStep::Failed{"çerçeveleme: " + describe(decoded.error())});
            reset();
            return;
        }
        for (const PairingMessage& message : *decoded) {
            if (!isCurrent(which)) {
                return; // the rest of the chunk belongs to an attempt that has ended
            }
            switch (message.index()) {
            case PairingMessageCase::offer: {
                const auto& offer = std::get<PairingMessageCase::offer>(message);
                if (!handshake) {
                    break;
                }
                auto completed = handshake->complete(offer.publicKey);
                if (!completed) {
                    step(
                        PairingStep::Failed{"el sıkışma: " + Pairing::describe(completed.error())});
                    reset();
                    break;
                }
                outcome = std::move(*completed);
                offeredAddresses = offer.addresses;
                if (target) {
                    target->id = offer.macIdentifier;
                    target->name = offer.macName;
                }
                step(PairingStep::Code{outcome->code});
                break;
            }
            case PairingMessageCase::result: {
                const auto& result = std::get<PairingMessageCase::result>(message);
                if (result.accepted && result.pairingID && outcome && target) {
                    const auto material = outcome->key.material();
                    step(PairingStep::Accepted{
                        std::vector<std::uint8_t>(material.begin(), material.end()),
                        *result.pairingID, target->id, target->name,
                        hostsList(connection->remoteEndpoint(), offeredAddresses)});
                } else {
                    step(PairingStep::Rejected{});
                }
                reset();
                return;
            }
            default: // hello and phoneDecision go the other way
                break;
            }
        }
    }

    void confirm(bool accepted) {
        if (!connection) {
            return;
        }
        send(makePhoneDecision(PairingDecision{accepted, std::nullopt}));
        if (!accepted) {
            reset();
        }
    }
};

std::expected<std::shared_ptr<PairingBrowser>, PlatformError>
PairingBrowser::make(std::shared_ptr<DnsSd> dnsSd) {
    auto queue = DispatchQueue::create("com.belvor.ravnix.pairing.browser");
    if (!queue) {
        return std::unexpected(queue.error());
    }
    auto core = std::make_shared<Core>();
    core->dnsSd = std::move(dnsSd);
    core->queue = queue->get();
    return std::shared_ptr<PairingBrowser>(new PairingBrowser(std::move(core), std::move(*queue)));
}

PairingBrowser::PairingBrowser(std::shared_ptr<Core> c, std::unique_ptr<DispatchQueue> q)
    : core(std::move(c)), queue(std::move(q)) {}

PairingBrowser::~PairingBrowser() {
    queue->async([core = core] {
        core->stopBrowsing();
        core->reset();
    });
    drainQueue(*queue);
    queue.reset(); // joins; no handler runs after this
}

void PairingBrowser::setOnDiscovery(DiscoveryHandler handler) {
    core->onDiscovery = std::move(handler);
}
void PairingBrowser::setOnStep(StepHandler handler) {
    core->onStep = std::move(handler);
}

void PairingBrowser::start() {
    queue->async([core = core] { core->startBrowsing(); });
}
void PairingBrowser::stop() {
    queue->async([core = core] { core->stopBrowsing(); });
}
void PairingBrowser::pair(DiscoveredMac mac, Identity identity) {
    queue->async([core = core, mac = std::move(mac), identity = std::move(identity)]() mutable {
        core->pair(std::move(mac), std::move(identity));
    });
}
void PairingBrowser::confirm(bool accepted) {
    queue->async([core = core, accepted] { core->confirm(accepted); });
}
void PairingBrowser::cancel() {
    queue->async([core = core] { core->reset(); });
}

} // namespace ravnix
