#include "link/LinkServer.hpp"

#include "packet/PacketCodec.hpp"
#include "transport/MonotonicClock.hpp"

#include <array>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

namespace ravnix {
namespace {

constexpr std::uint64_t kSecond = 1'000'000'000ULL;
constexpr std::uint64_t kStatisticsWindow = 999'999'999ULL; // publish when more has passed
constexpr std::uint64_t kSequenceRestart = kSecond;
constexpr std::int32_t kReorderWindow = 64;
constexpr std::uint64_t kUnpairedNoticeInterval = kSecond;
constexpr std::uint64_t kWifiSilence = 700'000'000ULL;
constexpr std::uint64_t kPeerSilence = 2'500'000'000ULL;

// Linux thread names hold 15 characters: keep the label's most specific tail.
void nameThisThread(const char* label) {
    const std::string full(label);
    const std::string tail = full.size() > 15 ? full.substr(full.size() - 15) : full;
    const auto dot = tail.find('.');
    const std::string name =
        full.size() > 15 && dot != std::string::npos ? tail.substr(dot + 1) : tail;
    pthread_setname_np(pthread_self(), name.c_str());
}

template <typename F, typename... Args>
void invoke(const std::atomic<std::shared_ptr<const std::function<F>>>& slot, Args&&... args) {
    if (const auto callback = slot.load(); callback && *callback) {
        (*callback)(std::forward<Args>(args)...);
    }
}

} // namespace

struct LinkServer::ReceiveState {
    std::array<std::uint8_t, PacketFormat::maximumDatagramSize> buffer{};
    std::array<FingerSample, PacketFormat::maximumFingers> samples{};
    std::uint64_t windowStart = 0;
    std::uint64_t windowCount = 0;
    std::optional<std::uint32_t> lastSequence;
    std::optional<std::uint64_t> lastSequenceAt;
    std::uint64_t lastUnpairedNoticeAt = 0;
};

std::shared_ptr<LinkServer>
LinkServer::make(std::uint16_t port, std::shared_ptr<TouchFrameConsumer> interpreter, Clock clock) {
    return std::shared_ptr<LinkServer>(
        new LinkServer(port, std::move(interpreter), std::move(clock)));
}

LinkServer::LinkServer(std::uint16_t port, std::shared_ptr<TouchFrameConsumer> interpreter,
                       Clock clock)
    : port(port), interpreter(std::move(interpreter)),
      clock(clock ? std::move(clock) : Clock([] { return MonotonicClock::now(); })) {}

LinkServer::~LinkServer() {
    // The loop holds the server, so the last reference can only drop on the receive thread
    // once its loop has ended; it cannot join itself, and it is about to return anyway.
    if (thread.joinable() && thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
    }
}

std::expected<void, SocketError> LinkServer::start() {
    stop();

    auto created = UDPSocket::create();
    if (!created) {
        return std::unexpected(created.error());
    }
    std::shared_ptr<UDPSocket> socket = std::move(*created);
    if (auto bound = socket->bind(port); !bound) {
        return std::unexpected(bound.error());
    }
    {
        std::lock_guard lock(socketLock);
        activeSocket = socket;
    }
    if (auto timeout = socket->setReceiveTimeout(receiveTimeoutSeconds); !timeout) {
        return std::unexpected(timeout.error());
    }

    thread = std::jthread([weak = weak_from_this(), socket](std::stop_token stop) {
        nameThisThread(threadName);
        if (auto self = weak.lock()) {
            self->receiveLoop(*socket, stop);
        }
    });
    return {};
}

void LinkServer::stop() {
    if (thread.joinable()) {
        thread.request_stop();
        thread.join();
    }
}

std::uint16_t LinkServer::boundPort() const {
    std::shared_ptr<UDPSocket> socket;
    {
        std::lock_guard lock(socketLock);
        socket = activeSocket;
    }
    if (!socket) {
        return 0;
    }
    sockaddr_in record{};
    socklen_t length = sizeof record;
    if (getsockname(socket->descriptor(), reinterpret_cast<sockaddr*>(&record), &length) != 0) {
        return 0;
    }
    return ntohs(record.sin_port);
}

void LinkServer::updateAuthenticators(const std::vector<PacketAuthenticator>& list) {
    std::unordered_map<std::uint32_t, PacketAuthenticator> table;
    for (const auto& authenticator : list) {
        table.insert_or_assign(authenticator.pairingID(), authenticator);
    }
    std::lock_guard lock(authLock);
    authenticators.swap(table);
    // The old table is destroyed after the lock is released, with `table`.
}

void LinkServer::sendBye() {
    std::optional<SocketAddress> to;
    {
        std::lock_guard lock(senderLock);
        to = lastSender;
    }
    std::shared_ptr<UDPSocket> socket;
    {
        std::lock_guard lock(socketLock);
        socket = activeSocket;
    }
    if (!to || !socket) {
        return;
    }
    std::array<std::uint8_t, PacketFormat::controlPacketSize> bye{};
    if (PacketCodec::encodeControl({PacketKind::bye, 0, clock(), 0}, bye)) {
        (void)socket->send(bye, *to);
    }
}

LinkServer::Stats LinkServer::stats() const {
    std::lock_guard lock(statsLock);
    return stats_;
}

void LinkServer::setOnStats(std::function<void(const Stats&)> callback) {
    onStats.store(std::make_shared<const std::function<void(const Stats&)>>(std::move(callback)));
}
void LinkServer::setOnSafetyRelease(std::function<void(const std::string&)> callback) {
    onSafetyRelease.store(
        std::make_shared<const std::function<void(const std::string&)>>(std::move(callback)));
}
void LinkServer::setOnPeerLeft(std::function<void()> callback) {
    onPeerLeft.store(std::make_shared<const std::function<void()>>(std::move(callback)));
}
void LinkServer::setSendPeer(std::function<void(std::span<const std::uint8_t>)> callback) {
    sendPeer_.store(std::make_shared<const std::function<void(std::span<const std::uint8_t>)>>(
        std::move(callback)));
}
std::shared_ptr<const std::function<void(std::span<const std::uint8_t>)>>
LinkServer::sendPeer() const {
    return sendPeer_.load();
}

void LinkServer::peerLeft() {
    invoke(onPeerLeft);
}

void LinkServer::receiveLoop(UDPSocket& socket, std::stop_token stop) {
    ReceiveState state;
    state.windowStart = clock();
    while (!stop.stop_requested()) {
        auto received = socket.receive(state.buffer);
        if (!received) {
            continue; // a real receive failure: try again at once, no periodic work
        }
        if (!received->has_value() || (*received)->count == 0) {
            periodicChecks(state);
            continue;
        }
        const std::size_t count = (*received)->count;
        const SocketAddress& sender = (*received)->sender;

        auto header = PacketCodec::peekHeader(std::span(state.buffer).first(count));
        if (!header) {
            if (header.error().is<PacketError::UnsupportedVersion>()) {
                std::lock_guard lock(statsLock);
                ++stats_.versionMismatches;
            }
            continue;
        }
        switch (header->kind) {
        case PacketKind::touch:
            touchPath(socket, state, count, sender);
            break;
        case PacketKind::ping:
            pingPath(socket, state, count, sender);
            break;
        case PacketKind::bye:
            peerLeft();
            break;
        case PacketKind::pong:
        case PacketKind::unpaired:
            break;
        }
        periodicChecks(state);
    }
}

std::optional<PacketAuthenticator> LinkServer::authenticate(std::span<const std::uint8_t> datagram,
                                                            std::size_t& bodyLength) const {
    const auto trailer = PacketCodec::readTrailer(datagram);
    if (!trailer) {
        return std::nullopt;
    }
    std::optional<PacketAuthenticator> authenticator;
    {
        std::lock_guard lock(authLock);
        if (auto found = authenticators.find(trailer->pairingID); found != authenticators.end()) {
            authenticator.emplace(found->second);
        }
    }
    // The tag is computed with the table unlocked, on the copy.
    if (!authenticator ||
        !authenticator->isValid(trailer->tag, datagram.first(trailer->bodyLength))) {
        return std::nullopt;
    }
    bodyLength = trailer->bodyLength;
    return authenticator;
}

void LinkServer::deliver(bool isPeerRoute, const TouchHeader& header,
                         std::span<const FingerSample> fingers) {
    std::lock_guard lock(interpreterLock);
    interpreter->setPeerRoute(isPeerRoute);
    interpreter->handle(header, fingers);
}

void LinkServer::touchPath(UDPSocket& socket, ReceiveState& state, std::size_t count,
                           const SocketAddress& sender) {
    const auto datagram = std::span<const std::uint8_t>(state.buffer).first(count);
    std::size_t bodyLength = 0;
    if (!authenticate(datagram, bodyLength)) {
        {
            std::lock_guard lock(statsLock);
            ++stats_.rejectedPackets;
        }
        // One notice per interval for all senders together.
        const std::uint64_t now = clock();
        if (now - state.lastUnpairedNoticeAt > kUnpairedNoticeInterval ||
            state.lastUnpairedNoticeAt == 0) {
            state.lastUnpairedNoticeAt = now;
            std::array<std::uint8_t, PacketFormat::controlPacketSize> notice{};
            if (PacketCodec::encodeControl({PacketKind::unpaired, 0, now, 0}, notice)) {
                (void)socket.send(notice, sender);
            }
        }
        return;
    }

    const auto header = PacketCodec::decodeTouch(datagram.first(bodyLength), state.samples);
    if (!header) {
        return;
    }

    const std::uint64_t t = clock();
    const bool newRun = state.lastSequenceAt && t - *state.lastSequenceAt > kSequenceRestart;
    if (!newRun && state.lastSequence) {
        const auto d = static_cast<std::int32_t>(header->sequence - *state.lastSequence);
        if (d >= -kReorderWindow && d <= 0) {
            {
                std::lock_guard lock(statsLock);
                ++stats_.reorderedPackets;
            }
            state.lastSequenceAt = t;
            return;
        }
        if (d > 1) {
            std::lock_guard lock(statsLock);
            stats_.lostPackets += static_cast<std::uint64_t>(d - 1);
        }
        // d below the window: the sender restarted its counter; nothing is counted.
    }

    // Only a frame that passed every check may move the route and the farewell's address:
    // anyone can send a datagram, and a stranger must not shorten the peer route's silence
    // or take the bye.
    {
        std::lock_guard lock(senderLock);
        lastSender = sender;
    }
    {
        std::lock_guard lock(statsLock);
        stats_.isPeerRoute = false;
    }
    {
        std::lock_guard lock(arrivalLock);
        lastPacketNanos = t;
    }
    ++state.windowCount;

    std::uint64_t clamped = 0;
    {
        std::lock_guard lock(interpreterLock);
        interpreter->setPeerRoute(false);
        interpreter->handle(
            *header, std::span<const FingerSample>(state.samples).first(header->fingerCount));
        clamped = interpreter->clampedJumps();
    }
    {
        std::lock_guard lock(statsLock);
        stats_.clampedJumps = clamped;
        ++stats_.touchPackets;
    }
    state.lastSequence = header->sequence;
    state.lastSequenceAt = t;
}

void LinkServer::pingPath(UDPSocket& socket, ReceiveState& state, std::size_t count,
                          const SocketAddress& sender) {
    const auto ping =
        PacketCodec::decodeControl(std::span<const std::uint8_t>(state.buffer).first(count));
    if (!ping || ping->kind != PacketKind::ping) {
        return;
    }
    // The pong is written over the ping in the receive buffer.
    const ControlPacket pong{PacketKind::pong, ping->sequence, clock(), ping->deviceTimeNanos};
    if (auto written = PacketCodec::encodeControl(pong, state.buffer)) {
        (void)socket.send(std::span<const std::uint8_t>(state.buffer).first(*written), sender);
    }
    std::lock_guard lock(statsLock);
    ++stats_.echoedPings;
}

void LinkServer::periodicChecks(ReceiveState& state) {
    const std::uint64_t now = clock();
    safetyCheck();
    statisticsWindow(state, now);
}

void LinkServer::safetyCheck() {
    bool isPeerRoute = false;
    {
        std::lock_guard lock(statsLock);
        isPeerRoute = stats_.isPeerRoute;
    }
    std::uint64_t last = 0;
    {
        std::lock_guard lock(arrivalLock);
        last = lastPacketNanos;
    }
    if (last == 0) {
        return;
    }
    const std::uint64_t allowed = isPeerRoute ? kPeerSilence : kWifiSilence;
    const std::uint64_t now = clock();
    // A frame stamped after `now` (the other route, a moment ago) is no silence at all.
    if (now <= last || now - last <= allowed) {
        return;
    }
    const std::uint64_t silence = now - last;
    if (!interpreter->isButtonDown()) {
        return;
    }
    if (const auto report = onSafetyRelease.load(); report && *report) {
        (*report)("guvenlik agi: " + std::to_string(silence / 1'000'000ULL) + " ms sessizlik · " +
                  "yol=" + (isPeerRoute ? "airdrop" : "wifi"));
        if (!interpreter->isButtonDown()) {
            return;
        }
    }
    std::lock_guard lock(interpreterLock);
    interpreter->safetyRelease();
}

void LinkServer::statisticsWindow(ReceiveState& state, std::uint64_t now) {
    if (now <= state.windowStart || now - state.windowStart <= kStatisticsWindow) {
        return;
    }
    const double seconds = static_cast<double>(now - state.windowStart) / 1e9;
    std::uint64_t last = 0;
    {
        std::lock_guard lock(arrivalLock);
        last = lastPacketNanos;
    }
    Stats copy;
    {
        std::lock_guard lock(statsLock);
        stats_.packetsPerSecond = static_cast<double>(state.windowCount) / seconds;
        if (last == 0) {
            stats_.lastPacketAgoSeconds.reset();
        } else {
            stats_.lastPacketAgoSeconds = last > now ? 0.0 : static_cast<double>(now - last) / 1e9;
        }
        copy = stats_;
    }
    state.windowStart = now;
    state.windowCount = 0;
    invoke(onStats, copy);
}

void LinkServer::handlePeerDatagram(std::span<const std::uint8_t> bytes, const Reply& reply) {
    const auto header = PacketCodec::peekHeader(bytes);
    if (!header) {
        return;
    }
    switch (header->kind) {
    case PacketKind::ping: {
        const auto ping = PacketCodec::decodeControl(bytes);
        if (!ping || ping->kind != PacketKind::ping) {
            return;
        }
        std::array<std::uint8_t, PacketFormat::controlPacketSize> pong{};
        if (PacketCodec::encodeControl(
                {PacketKind::pong, ping->sequence, clock(), ping->deviceTimeNanos}, pong) &&
            reply) {
            reply(pong);
        }
        std::lock_guard lock(statsLock);
        ++stats_.echoedPings;
        return;
    }
    case PacketKind::touch: {
        std::size_t bodyLength = 0;
        if (!authenticate(bytes, bodyLength)) {
            std::lock_guard lock(statsLock);
            ++stats_.rejectedPackets;
            return;
        }
        std::array<FingerSample, PacketFormat::maximumFingers> samples{};
        const auto touch = PacketCodec::decodeTouch(bytes.first(bodyLength), samples);
        if (!touch) {
            return;
        }
        {
            std::lock_guard lock(arrivalLock);
            lastPacketNanos = clock();
        }
        {
            std::lock_guard lock(statsLock);
            ++stats_.touchPackets;
            stats_.lastPacketAgoSeconds = 0.0;
            stats_.isPeerRoute = true;
        }
        deliver(true, *touch, std::span<const FingerSample>(samples).first(touch->fingerCount));
        return;
    }
    case PacketKind::bye:
        peerLeft();
        return;
    case PacketKind::pong:
    case PacketKind::unpaired:
        return;
    }
}

} // namespace ravnix
