#include "cli/phone/PhoneLink.hpp"

#include "packet/PacketCodec.hpp"
#include "peerlink/PeerLink.hpp"
#include "transport/MonotonicClock.hpp"
#include "transport/UDPSocket.hpp"

#include <array>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

namespace ravnix {

struct PhoneLink::Inbox {
    struct Pong {
        ControlPacket packet;
        std::uint64_t receivedAt = 0;
    };

    // Any thread: one packet from the desktop. Anything that is not an answer is dropped.
    void deliver(std::span<const std::uint8_t> bytes) {
        const auto header = PacketCodec::peekHeader(bytes);
        if (!header) {
            return;
        }
        const std::uint64_t now = MonotonicClock::now();
        std::lock_guard lock(mutex);
        switch (header->kind) {
        case PacketKind::pong:
            if (const auto pong = PacketCodec::decodeControl(bytes)) {
                pongs.push_back({*pong, now});
                ++counters.pongs;
            }
            break;
        case PacketKind::unpaired:
            ++counters.unpairedNotices;
            break;
        case PacketKind::bye:
            ++counters.byes;
            break;
        case PacketKind::touch:
        case PacketKind::ping:
            return;
        }
        changed.notify_all();
    }

    // The pong answering the ping (sequence, sent at), waiting until `deadline`.
    std::optional<Pong> takePong(std::uint32_t sequence, std::uint64_t sentAt,
                                 std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(mutex);
        std::optional<Pong> found;
        changed.wait_until(lock, deadline, [&] {
            for (auto it = pongs.begin(); it != pongs.end(); ++it) {
                if (it->packet.sequence == sequence && it->packet.echoTimeNanos == sentAt) {
                    found = *it;
                    pongs.erase(it);
                    return true;
                }
            }
            return false;
        });
        pongs.clear(); // answers to earlier pings arrived too late to count
        return found;
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Pong> pongs;
    Counters counters; // only the answer counts are kept here
};

namespace {

class UdpRoute final : public PhoneLink::Route {
  public:
    UdpRoute(std::shared_ptr<UDPSocket> socket, SocketAddress desktop,
             std::shared_ptr<PhoneLink::Inbox> inbox)
        : socket(std::move(socket)), desktop(desktop) {
        receiver = std::jthread([socket = this->socket, inbox](std::stop_token stop) {
            std::array<std::uint8_t, PacketFormat::maximumDatagramSize> buffer{};
            while (!stop.stop_requested()) {
                const auto received = socket->receive(buffer);
                if (!received) {
                    return; // the socket was closed
                }
                if (*received) {
                    inbox->deliver(std::span<const std::uint8_t>(buffer).first((*received)->count));
                }
            }
        });
    }
    ~UdpRoute() override {
        receiver.request_stop();
        if (receiver.joinable()) {
            receiver.join(); // within one receive timeout
        }
        socket->close();
    }

    bool send(std::span<const std::uint8_t> bytes) override {
        return socket->send(bytes, desktop).has_value();
    }

    static constexpr double receiveTimeoutSeconds = 0.05;

  private:
    std::shared_ptr<UDPSocket> socket;
    SocketAddress desktop;
    std::jthread receiver;
};

class PeerRoute final : public PhoneLink::Route {
  public:
    explicit PeerRoute(std::shared_ptr<PeerLinkClient> client) : client(std::move(client)) {}
    ~PeerRoute() override {
        client->disconnect();
        client.reset(); // joins the client's queue
    }
    bool send(std::span<const std::uint8_t> bytes) override {
        client->send(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
        return true;
    }

  private:
    std::shared_ptr<PeerLinkClient> client;
};

} // namespace

std::uint32_t firstSequenceNumber() noexcept {
    return static_cast<std::uint32_t>(MonotonicClock::now() / 1'000'000ULL);
}

PhoneLink::PhoneLink(PacketAuthenticator authenticator, std::shared_ptr<Inbox> inbox,
                     std::unique_ptr<Route> route)
    : authenticator(authenticator), inbox(std::move(inbox)), route(std::move(route)),
      sequence(firstSequenceNumber()) {}

PhoneLink::~PhoneLink() {
    route.reset(); // stops the answers before the inbox may go
}

std::expected<std::unique_ptr<PhoneLink>, std::string>
PhoneLink::overUdp(PacketAuthenticator authenticator, SocketAddress desktop) {
    auto socket = UDPSocket::create();
    if (!socket) {
        return std::unexpected(socket.error().text());
    }
    if (auto timeout = (*socket)->setReceiveTimeout(UdpRoute::receiveTimeoutSeconds); !timeout) {
        return std::unexpected(timeout.error().text());
    }
    auto inbox = std::make_shared<Inbox>();
    auto route = std::make_unique<UdpRoute>(std::move(*socket), desktop, inbox);
    return std::unique_ptr<PhoneLink>(new PhoneLink(authenticator, inbox, std::move(route)));
}

std::expected<std::unique_ptr<PhoneLink>, std::string>
PhoneLink::overPeer(PacketAuthenticator authenticator, std::shared_ptr<DnsSd> dnsSd,
                    const std::string& desktopName, std::chrono::milliseconds timeout) {
    auto client = PeerLinkClient::make(std::move(dnsSd));
    if (!client) {
        return std::unexpected(client.error().text());
    }
    auto inbox = std::make_shared<Inbox>();
    struct Progress {
        std::mutex mutex;
        std::condition_variable changed;
        std::optional<PeerLinkClient::State> state;
    };
    auto progress = std::make_shared<Progress>();
    (*client)->setOnState([progress](const PeerLinkClient::State& state) {
        std::lock_guard lock(progress->mutex);
        progress->state = state;
        progress->changed.notify_all();
    });
    (*client)->setOnPacket([inbox](std::span<const std::uint8_t> bytes) { inbox->deliver(bytes); });
    (*client)->connectToServiceNamed(desktopName);
    auto route = std::make_unique<PeerRoute>(*client);

    using Kind = PeerLinkClient::State::Kind;
    std::unique_lock lock(progress->mutex);
    const bool settled = progress->changed.wait_for(lock, timeout, [&] {
        return progress->state &&
               (progress->state->kind == Kind::ready || progress->state->kind == Kind::failed);
    });
    if (!settled) {
        return std::unexpected("masaüstü bulunamadı (AirDrop): " + desktopName);
    }
    if (progress->state->kind == Kind::failed) {
        return std::unexpected("AirDrop bağlantısı kurulamadı: " + progress->state->text);
    }
    lock.unlock();
    return std::unique_ptr<PhoneLink>(new PhoneLink(authenticator, inbox, std::move(route)));
}

std::expected<std::uint32_t, std::string>
PhoneLink::sendFrame(TouchFlags flags, std::uint8_t clickCount,
                     std::span<const FingerSample> fingers, std::uint64_t deviceTimeNanos) {
    std::array<std::uint8_t, PacketFormat::maximumDatagramSize> packet{};
    const std::uint32_t number = sequence;
    const TouchHeader header{number, deviceTimeNanos,
                             0.0F,   static_cast<std::uint8_t>(fingers.size()),
                             flags,  clickCount};
    const auto body = PacketCodec::encodeTouch(header, fingers, packet);
    if (!body) {
        return std::unexpected("kare kodlanamadı: " + describe(body.error()));
    }
    const auto tag = authenticator.tag(std::span<const std::uint8_t>(packet).first(*body));
    const auto total = PacketCodec::appendTrailer(authenticator.pairingID(), tag, packet, *body);
    if (!total) {
        return std::unexpected("kare kodlanamadı: " + describe(total.error()));
    }
    ++sequence;
    if (!route->send(std::span<const std::uint8_t>(packet).first(*total))) {
        return std::unexpected(std::string("kare gönderilemedi"));
    }
    ++framesSent;
    return number;
}

PhoneLink::PingReport PhoneLink::ping(int count, std::chrono::milliseconds interval,
                                      std::chrono::milliseconds waitEach) {
    PingReport report{{}, ClockOffsetEstimator(offsetWindow)};
    std::vector<std::uint64_t> roundTrips;
    std::int64_t lost = 0;
    for (int i = 0; i < count; ++i) {
        const auto leaving = std::chrono::steady_clock::now();
        const std::uint64_t sentAt = MonotonicClock::now();
        const std::uint32_t number = ++pingSequence;
        std::array<std::uint8_t, PacketFormat::controlPacketSize> packet{};
        (void)PacketCodec::encodeControl({PacketKind::ping, number, sentAt, 0}, packet);
        ++pingsSent;
        const auto pong = route->send(packet) ? inbox->takePong(number, sentAt, leaving + waitEach)
                                              : std::nullopt;
        if (pong && pong->receivedAt >= sentAt) {
            roundTrips.push_back(pong->receivedAt - sentAt);
            report.offsets.add(sentAt, pong->packet.deviceTimeNanos, pong->receivedAt);
        } else {
            ++lost;
        }
        if (i + 1 < count) {
            std::this_thread::sleep_until(leaving + interval);
        }
    }
    report.statistics = LatencyStatistics(roundTrips, lost);
    return report;
}

bool PhoneLink::waitForUnpaired(std::chrono::milliseconds limit) {
    std::unique_lock lock(inbox->mutex);
    return inbox->changed.wait_for(lock, limit,
                                   [&] { return inbox->counters.unpairedNotices > 0; });
}

PhoneLink::Counters PhoneLink::counters() const {
    Counters result;
    {
        std::lock_guard lock(inbox->mutex);
        result = inbox->counters;
    }
    result.framesSent = framesSent;
    result.pingsSent = pingsSent;
    return result;
}

} // namespace ravnix
