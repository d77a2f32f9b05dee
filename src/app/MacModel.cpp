#include "app/MacModel.hpp"

#include "platform/SystemSettings.hpp"
#include "transport/MonotonicClock.hpp"

#include <algorithm>
#include <chrono>

namespace ravnix {

namespace {
constexpr auto permissionPollInterval = std::chrono::seconds(1);
constexpr double activeLinkSeconds = 2.0;
} // namespace

std::expected<std::shared_ptr<MacModel>, PlatformError> MacModel::make(Environment environment) {
    std::shared_ptr<MacModel> model(new MacModel(std::move(environment)));
    auto& env = model->environment;

    // 1. The permission, the fixed facts, the store, the peer listener, the identifier and
    //    the injector.
    model->isTrusted_ = env.events->isTrusted();
    if (!model->isTrusted_) {
        model->untrustedReason_ = env.events->untrustedReason();
    }
    model->systemScale_ = readSystemScale(*env.preferences);
    model->pairings_ = std::make_shared<PairingStore>(
        env.secrets, env.pairingService, std::string(PairingStore::applicationAccount));
    auto peer = PeerLinkListener::make(env.dnsSd);
    if (!peer) {
        return std::unexpected(peer.error());
    }
    model->peerListener_ = std::move(*peer);
    model->macIdentifier_ = loadMacIdentifier(*env.preferences);
    model->injector_ = std::make_shared<PointerInjector>(env.events, PointerSettings::standard,
                                                         env.clickLog, env.clock);
    // 2. A stored factor of another type counts as absent; nothing is written back.
    model->speedMultiplier_ = env.preferences->doubleValue("speedMultiplier").value_or(1.0);
    // 3. The interpreter, with its recorder and release queue.
    auto interpreter =
        TouchInterpreter::make({model->injector_, ScrollSettings::standard, env.preferences,
                                env.mainQueue, env.motionLog, env.clock});
    if (!interpreter) {
        return std::unexpected(interpreter.error());
    }
    model->interpreter_ = std::move(*interpreter);
    // 4.–5. The link server and its statistics, which arrive on the receive thread.
    model->server_ = LinkServer::make(env.port, model->interpreter_, env.clock);
    model->server_->setOnStats([weak = model->weak_from_this()](const LinkServer::Stats& stats) {
        if (auto self = weak.lock()) {
            self->onMain([stats](MacModel& model) { model.receiveStats(stats); });
        }
    });
    model->startUp();
    return model;
}

MacModel::MacModel(Environment env) : environment(std::move(env)) {
    if (!environment.log) {
        environment.log = std::make_shared<ApplicationLog>("/dev/null");
    }
    if (!environment.onboarding || !environment.pairingWindow || !environment.guide) {
        auto none = std::make_shared<NoWindows>();
        if (!environment.onboarding) {
            environment.onboarding = none;
        }
        if (!environment.pairingWindow) {
            environment.pairingWindow = none;
        }
        if (!environment.guide) {
            environment.guide = none;
        }
    }
}

MacModel::~MacModel() {
    shutdown();
}

void MacModel::startUp() {
    // 6.–7.
    applySpeed();
    startServer();
    // 8. The permission poll, for the life of the model.
    trustTimer = environment.mainQueue->repeating(
        std::chrono::duration_cast<SerialQueue::Clock::duration>(permissionPollInterval),
        [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->pollPermission();
            }
        });
    // 9.–10. The store's check lines go to the log; then the stored pairings.
    pairings_->setOnEvent(logSink(environment.log));
    pairings_->probe();
    reloadPairings();
    // 11.
    startPairingListener();
    watchDnsSd();
    // 12. The peer route: its datagrams go straight to the server on the listener's thread.
    peerListener_->setOnPacket(
        [weak = std::weak_ptr<LinkServer>(server_)](std::span<const std::uint8_t> bytes,
                                                    const PeerLinkListener::Reply& reply) {
            if (auto server = weak.lock()) {
                server->handlePeerDatagram(bytes, reply);
            }
        });
    peerListener_->setOnError(logSink(environment.log));
    peerListener_->setOnEvent(logSink(environment.log));
    server_->setSendPeer([weak = std::weak_ptr<PeerLinkListener>(peerListener_)](
                             std::span<const std::uint8_t> bytes) {
        if (auto peer = weak.lock()) {
            peer->send(bytes);
        }
    });
    // 13.
    if (auto started =
            peerListener_->start(environment.macName, macIdentifier_, environment.peerPort)) {
        logLine("esler arasi dinleyici acildi (airdrop) port=" +
                std::to_string(peerListener_->port()));
        logPortFallback("esler arasi", "udp", environment.peerPort, peerListener_->port());
    } else {
        logLine("esler arasi dinleyici acilamadi: " + started.error().text());
    }
    // 14.
    server_->setOnSafetyRelease(logSink(environment.log));
    server_->setOnPeerLeft([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->onMain([](MacModel& model) { model.setDisconnectNotice("Bağlantı kesildi"); });
        }
    });
    // 15.
    isRecording_ = environment.preferences->boolValue("motionRecording").value_or(true);
    if (isRecording_) {
        interpreter_->diagnostics()->start(now());
    }
}

// ---- observation ------------------------------------------------------------------------

int MacModel::subscribe(Observer observer) {
    const int subscription = nextSubscription++;
    observers.emplace(subscription, std::move(observer));
    return subscription;
}

void MacModel::unsubscribe(int subscription) {
    observers.erase(subscription);
}

void MacModel::notify(Field field) {
    // A copy: an observer may subscribe or unsubscribe while being told.
    const auto current = observers;
    for (const auto& [subscription, observer] : current) {
        if (observers.contains(subscription)) {
            observer(field);
        }
    }
}

template <typename T> void MacModel::assign(T& field, T value, Field name) {
    if (field == value) {
        return;
    }
    field = std::move(value);
    notify(name);
}

void MacModel::onMain(std::function<void(MacModel&)> work) {
    environment.mainQueue->async([weak = weak_from_this(), work = std::move(work)] {
        if (auto self = weak.lock()) {
            work(*self);
        }
    });
}

std::uint64_t MacModel::now() const {
    return environment.clock ? environment.clock() : MonotonicClock::now();
}

std::uint16_t MacModel::port() const {
    return environment.port != 0 || !server_ ? environment.port : server_->boundPort();
}

void MacModel::logLine(const std::string& text) const {
    environment.log->line(text);
}

// ---- derived values ---------------------------------------------------------------------

bool MacModel::isLinkActive() const {
    return stats_.lastPacketAgoSeconds && *stats_.lastPacketAgoSeconds < activeLinkSeconds;
}

std::string MacModel::statusText() const {
    if (!isTrusted_) {
        return untrustedReason_.value_or("Erişilebilirlik izni gerekiyor");
    }
    if (stats_.versionMismatches > 0) {
        return "Protokol sürümü uyuşmuyor — iPhone uygulamasını güncelle";
    }
    if (isListening_ && isLinkActive()) {
        return std::string("Kullanılıyor · ") + (stats_.isPeerRoute ? "AirDrop" : "Wi-Fi");
    }
    if (isListening_) {
        return "Hazır";
    }
    return errorText_.value_or("Dinlemiyor");
}

std::string MacModel::headerText() const {
    return disconnectNotice_.value_or(statusText());
}

std::string MacModel::menuBarSymbol() const {
    if (!isTrusted_) {
        return "exclamationmark.triangle";
    }
    return isLinkActive() ? "rectangle.and.hand.point.up.left.fill" : "rectangle.dashed";
}

// ---- operations -------------------------------------------------------------------------

void MacModel::applySpeed() {
    injector_->setPointsPerUnit(speedMultiplier_ * basePointsPerUnit);
    injector_->setSettings(PointerSettings::standard.withTrackingScale(systemScale_));
}

void MacModel::setSpeedMultiplier(double value) {
    assign(speedMultiplier_, value, Field::speedMultiplier);
    if (auto written = environment.preferences->setValue("speedMultiplier", value); !written) {
        logLine("ayar yazilamadi: speedMultiplier " + written.error().text());
    }
    applySpeed();
}

void MacModel::startServer() {
    if (isListening_) {
        return;
    }
    if (auto started = server_->start()) {
        assign(isListening_, true, Field::isListening);
        assign(errorText_, std::optional<std::string>(), Field::errorText);
    } else {
        assign(isListening_, false, Field::isListening);
        assign(errorText_, std::optional<std::string>(started.error().text()), Field::errorText);
    }
}

void MacModel::pollPermission() {
    const bool trusted = environment.events->isTrusted();
    auto reason = trusted ? std::nullopt : environment.events->untrustedReason();
    const bool reasonChanged = reason != untrustedReason_;
    untrustedReason_ = std::move(reason);
    if (trusted == isTrusted_) {
        if (reasonChanged) {
            notify(Field::isTrusted); // the status line reads the reason
        }
        return;
    }
    assign(isTrusted_, trusted, Field::isTrusted);
    if (trusted) {
        startServer();
    }
}

void MacModel::receiveStats(const LinkServer::Stats& stats) {
    stats_ = stats;
    notify(Field::stats);
    // Packets flowing again make a farewell notice stale.
    if (disconnectNotice_ && isLinkActive() && stats_.touchPackets > touchPacketsAtNotice) {
        assign(disconnectNotice_, std::optional<std::string>(), Field::disconnectNotice);
    }
}

void MacModel::setDisconnectNotice(std::string text) {
    touchPacketsAtNotice = stats_.touchPackets;
    assign(disconnectNotice_, std::optional<std::string>(std::move(text)), Field::disconnectNotice);
}

void MacModel::reloadPairings() {
    auto records = pairings_->loadAll();
    std::stable_sort(records.begin(), records.end(),
                     [](const auto& a, const auto& b) { return a.pairedAt > b.pairedAt; });
    std::vector<PacketAuthenticator> authenticators;
    for (const auto& record : records) {
        if (record.keyMaterial.size() == PairingKey::size) {
            authenticators.emplace_back(record.keyMaterial, record.pairingID);
        }
    }
    assign(pairedDevices_, std::move(records), Field::pairedDevices);
    assign(storageProblem_, pairings_->lastErrorDescription(), Field::storageProblem);
    server_->updateAuthenticators(authenticators);
}

void MacModel::startPairingListener() {
    PairingListener::Options options = environment.pairingOptions;
    options.macIdentifier = macIdentifier_;
    options.macName = environment.macName;
    options.touchPort = port();
    options.port = environment.pairingPort;
    options.addresses = environment.addresses;
    options.dnsSd = environment.dnsSd;
    auto made = PairingListener::make(std::move(options));
    if (!made) {
        assign(
            errorText_,
            std::optional<std::string>("Eşleştirme dinleyicisi açılamadı: " + made.error().text()),
            Field::errorText);
        return;
    }
    auto listener = std::move(*made);
    auto log = environment.log;
    listener->setOnRequest([weak = weak_from_this(), log](const PairingListener::Request& request) {
        log->line("eslestirme istegi: " + request.hello.displayName + " kod=" + request.code +
                  " telefonOnayi=" + (request.phoneAccepted ? "true" : "false"));
        if (auto self = weak.lock()) {
            self->onMain([request](MacModel& model) { model.presentPairingRequest(request); });
        }
    });
    listener->setOnCancelled([weak = weak_from_this(), log] {
        log->line("eslestirme dustu");
        if (auto self = weak.lock()) {
            self->onMain([](MacModel& model) {
                model.assign(model.pendingRequest_, std::optional<PairingListener::Request>(),
                             Field::pendingRequest);
                model.environment.pairingWindow->close();
            });
        }
    });
    listener->setOnError([weak = weak_from_this()](const std::string& message) {
        if (auto self = weak.lock()) {
            self->onMain([message](MacModel& model) {
                model.assign(model.errorText_, std::optional<std::string>(message),
                             Field::errorText);
            });
        }
    });
    if (auto started = listener->start(); !started) {
        assign(errorText_,
               std::optional<std::string>("Eşleştirme dinleyicisi açılamadı: " +
                                          started.error().text()),
               Field::errorText);
        return;
    }
    logPortFallback("eslestirme", "tcp", environment.pairingPort, listener->port());
    listener_ = std::move(listener);
    notify(Field::listener);
}

void MacModel::logPortFallback(const char* what, const char* protocol, std::uint16_t wished,
                               std::uint16_t bound) const {
    if (wished != 0 && bound != wished) {
        logLine(std::string(what) + " portu " + std::to_string(wished) + "/" + protocol +
                " baska bir programda; sistemin verdigi " + std::to_string(bound) +
                " kullaniliyor (guvenlik duvari kurali bu portu acmaz)");
    }
}

bool MacModel::isAnswered(const PairingListener::Request& request) const {
    return answeredRequest && answeredRequest->hello == request.hello &&
           answeredRequest->outcome == request.outcome;
}

void MacModel::watchDnsSd() {
    // The daemon restarts with a package upgrade or starts after us. The backend registers the
    // services again once it is back; the user only needs to know why pairing finds nothing.
    auto watch = environment.dnsSd->watchAvailability(
        *environment.mainQueue, [weak = weak_from_this()](const DnsSd::Availability& availability) {
            const auto self = weak.lock();
            if (!self || availability.isAvailable == !self->dnsSdNotice) {
                return;
            }
            if (!availability.isAvailable) {
                const auto reason =
                    availability.reason ? availability.reason->text() : std::string("DNS-SD yok");
                self->logLine("dns-sd ulasilamiyor: " + reason + " · eslestirme duyurusu bekliyor");
                self->dnsSdNotice = "Eşleştirme duyurulamıyor: " + reason;
                if (!self->errorText_) {
                    self->assign(self->errorText_, self->dnsSdNotice, Field::errorText);
                }
                return;
            }
            self->logLine("dns-sd yeniden ulasilabilir · eslestirme yeniden duyuruluyor");
            if (self->errorText_ == self->dnsSdNotice) {
                self->assign(self->errorText_, std::optional<std::string>(), Field::errorText);
            }
            self->dnsSdNotice.reset();
        });
    if (watch) {
        dnsSdWatch = std::move(*watch);
    }
}

void MacModel::presentPairingRequest(const PairingListener::Request& request) {
    if (isAnswered(request)) {
        return; // the phone's confirmation of an exchange the user has already answered
    }
    pendingRequest_ = request;
    notify(Field::pendingRequest);
    environment.pairingWindow->show(request, [weak = weak_from_this(), request](bool accepted) {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        // The phone may have left (or sent a newer request) while the answer was on its way:
        // a pairing it no longer waits for must not be stored.
        if (!self->pendingRequest_ || self->pendingRequest_->outcome != request.outcome) {
            self->logLine("eslestirme karari gec geldi: " + request.hello.displayName);
            return;
        }
        self->resolvePairing(accepted, request);
    });
}

void MacModel::resolvePairing(bool accepted, const PairingListener::Request& given) {
    // A copy: the caller may pass pendingRequest() itself, which is cleared first.
    const PairingListener::Request request = given;
    // A second answer to one exchange would store the phone again under a number it never
    // learns, and its frames would be refused from then on.
    if (isAnswered(request)) {
        logLine("eslestirme zaten yanitlandi: " + request.hello.displayName);
        return;
    }
    answeredRequest = request;
    pendingRequest_.reset();
    notify(Field::pendingRequest);
    if (!accepted) {
        logLine("eslestirme reddedildi (mac)");
        if (listener_) {
            listener_->respond(false, std::nullopt, request.hello);
        }
        return;
    }
    const auto pairingID = pairings_->newPairingID();
    bool saved = false;
    std::optional<std::string> failure;
    if (pairingID) {
        const auto material = request.outcome.key.material();
        PairingRecord record{request.hello.deviceID,
                             request.hello.displayName,
                             request.hello.model,
                             std::vector<std::uint8_t>(material.begin(), material.end()),
                             *pairingID,
                             PairingRecord::Date::now(),
                             std::nullopt,
                             std::nullopt};
        saved = pairings_->save(record);
        if (!saved) {
            failure = pairings_->lastErrorDescription().value_or("Eşleşme kaydedilemedi");
        }
    } else {
        failure = "Eşleşme numarası alınamadı";
    }
    // A pairing the desktop did not store would authenticate nothing: the phone is told no.
    if (listener_) {
        if (saved) {
            listener_->respond(true, pairingID, request.hello);
        } else {
            listener_->respond(false, std::nullopt, request.hello);
        }
    }
    reloadPairings();
    if (failure && !storageProblem_) {
        assign(storageProblem_, failure, Field::storageProblem);
    }
    logLine("eslestirme kabul: " + request.hello.displayName +
            " id=" + std::to_string(pairingID.value_or(0)) + " kayit=" + (saved ? "ok" : "HATA") +
            " toplam=" + std::to_string(pairedDevices_.size()));
}

void MacModel::unpair(const PairingRecord& given) {
    // A copy: callers pass an entry of pairedDevices(), which the reload replaces.
    const PairingRecord record = given;
    server_->sendBye();
    pairings_->remove(record.id);
    reloadPairings();
    setDisconnectNotice(record.displayName + " kaldırıldı");
}

void MacModel::toggleRecording() {
    const auto& diagnostics = interpreter_->diagnostics();
    if (!isRecording_) {
        diagnostics->start(now());
        assign(isRecording_, true, Field::isRecording);
    } else {
        diagnostics->stop();
        assign(isRecording_, false, Field::isRecording);
    }
    if (auto written = environment.preferences->setValue("motionRecording", isRecording_);
        !written) {
        logLine("ayar yazilamadi: motionRecording " + written.error().text());
    }
}

void MacModel::openLogFolder() {
    if (environment.workspace) {
        (void)environment.workspace->revealFile(interpreter_->diagnostics()->fileURL());
    }
}

void MacModel::openAccessibilitySettings() {
    if (environment.workspace && !environment.permissionHelpURL.empty()) {
        (void)environment.workspace->openURL(environment.permissionHelpURL);
    }
}

void MacModel::shutdown() {
    if (isShutDown) {
        return;
    }
    isShutDown = true;
    dnsSdWatch.reset();
    trustTimer.cancel();
    if (listener_) {
        listener_->stop();
    }
    if (peerListener_) {
        peerListener_->stop();
    }
    if (server_) {
        server_->stop();
    }
    // Writes what was recorded; the persisted choice stays as it is for the next start.
    if (isRecording_ && interpreter_) {
        interpreter_->diagnostics()->stop();
    }
}

} // namespace ravnix
