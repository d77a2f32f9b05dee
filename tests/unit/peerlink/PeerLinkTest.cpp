#include "peerlink/PeerLink.hpp"

#include "support/FakeDnsSd.hpp"
#include "unit/link/LinkTestSupport.hpp"

#include <algorithm>
#include <gtest/gtest.h>

namespace ravnix::test {
namespace {

using namespace std::chrono_literals;

// Thread-safe collection of event lines.
struct Lines {
    std::mutex linesLock;
    std::vector<std::string> lines;
    std::function<void(const std::string&)> sink() {
        return [this](const std::string& line) {
            std::lock_guard lock(linesLock);
            lines.push_back(line);
        };
    }
    std::vector<std::string> all() {
        std::lock_guard lock(linesLock);
        return lines;
    }
    bool contains(const std::string& line) {
        const auto copy = all();
        return std::find(copy.begin(), copy.end(), line) != copy.end();
    }
    std::size_t countStartingWith(const std::string& prefix) {
        const auto copy = all();
        return static_cast<std::size_t>(std::count_if(
            copy.begin(), copy.end(), [&](const auto& l) { return l.starts_with(prefix); }));
    }
};

std::vector<std::uint8_t> bytes(std::initializer_list<std::uint8_t> list) {
    return list;
}

class PeerLinkTest : public ::testing::Test {
  protected:
    std::shared_ptr<FakeDnsSd> dnsSd = FakeDnsSd::create();

    // Handlers go in before start, as the listener's contract asks.
    std::shared_ptr<PeerLinkListener> listener(Lines& events, const std::string& name = "Mac",
                                               PeerLinkListener::PacketHandler onPacket = {}) {
        auto made = PeerLinkListener::make(dnsSd);
        EXPECT_TRUE(made);
        (*made)->setOnEvent(events.sink());
        (*made)->setOnPacket(std::move(onPacket));
        EXPECT_TRUE((*made)->start(name, "MAC-ID-1"));
        return *made;
    }
    std::shared_ptr<PeerLinkClient> client(Lines& events) {
        auto made = PeerLinkClient::make(dnsSd);
        EXPECT_TRUE(made);
        (*made)->setOnEvent(events.sink());
        return *made;
    }
};

TEST_F(PeerLinkTest, ListenerCountsTheFirstThreeMessagesAndRepliesOnTheSenderOnly) {
    std::mutex packetsLock;
    std::vector<std::vector<std::uint8_t>> packets;
    Lines events;
    auto peer =
        listener(events, "Mac",
                 [&](std::span<const std::uint8_t> message, const PeerLinkListener::Reply& reply) {
                     {
                         std::lock_guard lock(packetsLock);
                         packets.emplace_back(message.begin(), message.end());
                     }
                     reply(message); // echo, as a pong would go back
                 });
    const std::uint16_t port = peer->port();
    EXPECT_TRUE(peer->start("Mac", "other")); // a second start does nothing
    EXPECT_EQ(peer->port(), port);
    EXPECT_TRUE(
        waitUntil([&] { return dnsSd->advertised().size() == 1; })); // published on the queue

    // Declared before the clients: their handlers may run until the clients are gone.
    std::mutex repliesLock;
    std::vector<std::string> replies;
    Lines aEvents, bEvents;
    auto a = client(aEvents);
    auto b = client(bEvents);
    a->setOnPacket([&](std::span<const std::uint8_t> m) {
        std::lock_guard lock(repliesLock);
        replies.push_back("a:" + std::to_string(m.size()));
    });
    b->setOnPacket([&](std::span<const std::uint8_t> m) {
        std::lock_guard lock(repliesLock);
        replies.push_back("b:" + std::to_string(m.size()));
    });
    a->connectToServiceNamed("Mac");
    b->connectTo(HostEndpoint{"127.0.0.1", port});
    ASSERT_TRUE(waitUntil([&] { return aEvents.countStartingWith("uç nokta") == 1; }));
    // UDP: the listener learns of a peer with its first datagram.
    a->send(bytes({1, 2}));
    ASSERT_TRUE(waitUntil([&] { return peer->connectionCount() == 1; }));
    b->send({});         // empty: skipped, not counted
    b->send(bytes({3})); // message 2
    a->send(bytes({4, 5, 6}));
    b->send(bytes({7, 8, 9, 10}));
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(packetsLock);
        return packets.size() == 4;
    }));
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(repliesLock);
        return replies.size() == 4;
    }));
    {
        std::lock_guard lock(repliesLock);
        std::sort(replies.begin(), replies.end());
        EXPECT_EQ(replies, (std::vector<std::string>{"a:2", "a:3", "b:1", "b:4"}));
    }
    EXPECT_TRUE(events.contains("esler arasi paket #1 · 2 bayt"));
    EXPECT_EQ(events.countStartingWith("esler arasi paket #"), 3u);
    EXPECT_TRUE(events.contains("esler arasi baglanti geldi (toplam 2)"));
    EXPECT_EQ(peer->connectionCount(), 2u);

    // send() reaches both peers.
    peer->send(bytes({42}));
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(repliesLock);
        return replies.size() == 6;
    }));
}

TEST_F(PeerLinkTest, SendWithoutPeersSaysSoAndStopForgetsConnections) {
    Lines events;
    auto peer = listener(events);
    peer->send(bytes({1}));
    EXPECT_EQ(events.all(),
              std::vector<std::string>{"cevap gonderilemedi: acik esler arasi baglanti yok"});

    Lines clientEvents;
    auto phone = client(clientEvents);
    phone->connectTo(HostEndpoint{"127.0.0.1", peer->port()});
    phone->send(bytes({9}));
    ASSERT_TRUE(waitUntil([&] { return peer->connectionCount() == 1; }));
    peer->stop();
    EXPECT_EQ(peer->connectionCount(), 0u);
    EXPECT_TRUE(waitUntil([&] { return dnsSd->advertised().empty(); }));
}

TEST_F(PeerLinkTest, ClientConnectsOnlyToTheNamedServiceAndHonoursDisconnect) {
    std::atomic<int> toA{0}, toB{0};
    Lines aEvents, bEvents;
    auto macA =
        listener(aEvents, "Mac A",
                 [&](std::span<const std::uint8_t>, const PeerLinkListener::Reply&) { ++toA; });
    auto macB =
        listener(bEvents, "Mac B",
                 [&](std::span<const std::uint8_t>, const PeerLinkListener::Reply&) { ++toB; });
    ASSERT_TRUE(waitUntil([&] { return dnsSd->advertised().size() == 2; }));

    std::mutex statesLock;
    std::vector<PeerLinkClient::State> states;
    Lines events;
    auto phone = client(events);
    phone->setOnState([&](const PeerLinkClient::State& s) {
        std::lock_guard lock(statesLock);
        states.push_back(s);
    });
    phone->send(bytes({1})); // nothing to send on yet: dropped
    phone->connectToServiceNamed("Mac B");
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(statesLock);
        return !states.empty() && states.back().kind == PeerLinkClient::State::Kind::ready;
    }));
    phone->send(bytes({2}));
    ASSERT_TRUE(waitUntil([&] { return toB.load() == 1; }));
    EXPECT_EQ(toA.load(), 0);
    EXPECT_TRUE(events.contains("aranıyor: Mac B"));
    EXPECT_TRUE(events.contains("bulunanlar: Mac A, Mac B"));
    EXPECT_TRUE(events.contains("uç nokta bulundu, bağlanılıyor"));

    // No match: the search goes on, and a disconnect stops it before the service appears.
    Lines laterEvents;
    auto waiting = client(laterEvents);
    waiting->connectToServiceNamed("Mac C");
    ASSERT_TRUE(waitUntil([&] { return laterEvents.countStartingWith("bulunanlar: ") >= 1; }));
    EXPECT_EQ(laterEvents.countStartingWith("uç nokta"), 0u);
    waiting->disconnect();
    Lines cEvents;
    auto macC = listener(cEvents, "Mac C");
    phone->connectToServiceNamed("Mac C"); // a live search does find it
    ASSERT_TRUE(waitUntil([&] { return events.countStartingWith("uç nokta") == 2; }));
    EXPECT_EQ(laterEvents.countStartingWith("uç nokta"), 0u);
}

TEST_F(PeerLinkTest, PeerRouteReachesTheLinkServerAndItsPongComesBack) {
    auto interpreter = std::make_shared<RecordingInterpreter>();
    auto server = LinkServer::make(0, interpreter);
    server->updateAuthenticators({PhoneSide{}.authenticator});
    Lines events;
    auto peer = listener(
        events, "Mac",
        [server](std::span<const std::uint8_t> message, const PeerLinkListener::Reply& reply) {
            server->handlePeerDatagram(message, reply);
        });

    std::mutex repliesLock;
    std::vector<std::vector<std::uint8_t>> replies;
    Lines clientEvents;
    auto phone = client(clientEvents);
    phone->setOnPacket([&](std::span<const std::uint8_t> m) {
        std::lock_guard lock(repliesLock);
        replies.emplace_back(m.begin(), m.end());
    });
    phone->connectToServiceNamed("Mac");
    std::array<std::uint8_t, 24> ping{};
    PhoneSide::control(ping, PacketKind::ping, 77, 123456);
    std::array<std::uint8_t, 112> touch{};
    const std::size_t touchLength = PhoneSide{}.touch(touch, 1);
    ASSERT_TRUE(waitUntil([&] { return clientEvents.countStartingWith("uç nokta") == 1; }));
    phone->send({ping.begin(), ping.end()});
    phone->send({touch.begin(), touch.begin() + static_cast<long>(touchLength)});
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(repliesLock);
        return !replies.empty();
    }));
    {
        std::lock_guard lock(repliesLock);
        const auto pong = PacketCodec::decodeControl(replies[0]);
        ASSERT_TRUE(pong);
        EXPECT_EQ(pong->kind, PacketKind::pong);
        EXPECT_EQ(pong->echoTimeNanos, 123456u);
    }
    ASSERT_TRUE(waitUntil([&] { return interpreter->handled.load() == 1; }));
    const auto frames = interpreter->takeFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].isPeerRoute);
    EXPECT_TRUE(server->stats().isPeerRoute);
}

} // namespace
} // namespace ravnix::test
