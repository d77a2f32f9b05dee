#include "peerlink/PeerLink.hpp"

#include "support/FakeDnsSd.hpp"
#include "unit/link/LinkTestSupport.hpp"
#include "unit/platform/network/NetworkTestSupport.hpp"

#include <algorithm>
#include <gtest/gtest.h>

namespace ravnix::test {
namespace {

using Lines = Events<std::string>;

std::size_t startingWith(const std::vector<std::string>& lines, std::string_view prefix) {
    return static_cast<std::size_t>(
        std::ranges::count_if(lines, [&](const auto& line) { return line.starts_with(prefix); }));
}
bool contains(const Lines& lines, const std::string& line) {
    return std::ranges::count(lines.snapshot(), line) > 0;
}
bool waitForLine(Lines& lines, std::string_view prefix, std::size_t count = 1) {
    return lines.waitUntil([&](const auto& all) { return startingWith(all, prefix) >= count; });
}

class PeerLinkTest : public ::testing::Test {
  protected:
    std::shared_ptr<FakeDnsSd> dnsSd = FakeDnsSd::create();

    // Handlers go in before start, as the listener's contract asks.
    std::shared_ptr<PeerLinkListener> listener(Lines& events, const std::string& name = "Mac",
                                               PeerLinkListener::PacketHandler onPacket = {}) {
        auto made = PeerLinkListener::make(dnsSd).value();
        made->setOnEvent([&events](const std::string& line) { events.add(line); });
        made->setOnPacket(std::move(onPacket));
        EXPECT_TRUE(made->start(name, "MAC-ID-1"));
        return made;
    }
    std::shared_ptr<PeerLinkClient> client(Lines& events) {
        auto made = PeerLinkClient::make(dnsSd).value();
        made->setOnEvent([&events](const std::string& line) { events.add(line); });
        return made;
    }
};

TEST_F(PeerLinkTest, ListenerCountsTheFirstThreeMessagesAndRepliesOnTheSenderOnly) {
    Events<std::size_t> packets;
    Lines events;
    auto peer =
        listener(events, "Mac",
                 [&](std::span<const std::uint8_t> message, const PeerLinkListener::Reply& reply) {
                     packets.add(message.size());
                     reply(message); // echo, as a pong would go back
                 });
    const std::uint16_t port = peer->port();
    EXPECT_TRUE(peer->start("Mac", "other")); // a second start does nothing
    EXPECT_EQ(peer->port(), port);
    EXPECT_TRUE(waitUntil([&] { return dnsSd->advertised().size() == 1; }));

    // Declared before the clients: their handlers may run until the clients are gone.
    Lines replies, aEvents, bEvents;
    auto a = client(aEvents);
    auto b = client(bEvents);
    a->setOnPacket([&](auto m) { replies.add("a:" + std::to_string(m.size())); });
    b->setOnPacket([&](auto m) { replies.add("b:" + std::to_string(m.size())); });
    a->connectToServiceNamed("Mac");
    b->connectTo(HostEndpoint{"127.0.0.1", port});
    ASSERT_TRUE(waitForLine(aEvents, "uç nokta"));
    // UDP: the listener learns of a peer with its first datagram.
    a->send({1, 2});
    ASSERT_TRUE(waitUntil([&] { return peer->connectionCount() == 1; }));
    b->send({});  // empty: skipped, not counted
    b->send({3}); // message 2
    a->send({4, 5, 6});
    b->send({7, 8, 9, 10});
    ASSERT_TRUE(packets.waitForCount(4));
    ASSERT_TRUE(replies.waitForCount(4));
    auto got = replies.snapshot();
    std::ranges::sort(got);
    EXPECT_EQ(got, (std::vector<std::string>{"a:2", "a:3", "b:1", "b:4"}));
    EXPECT_TRUE(contains(events, "esler arasi paket #1 · 2 bayt"));
    EXPECT_EQ(startingWith(events.snapshot(), "esler arasi paket #"), 3u);
    EXPECT_TRUE(contains(events, "esler arasi baglanti geldi (toplam 2)"));
    EXPECT_EQ(peer->connectionCount(), 2u);

    const std::uint8_t toAll[] = {42};
    peer->send(toAll);
    EXPECT_TRUE(replies.waitForCount(6)) << "send() reaches both peers";
}

TEST_F(PeerLinkTest, SendWithoutPeersSaysSoAndStopForgetsConnections) {
    Lines events, clientEvents;
    auto peer = listener(events);
    const std::uint8_t one[] = {1};
    peer->send(one);
    EXPECT_EQ(events.snapshot(),
              std::vector<std::string>{"cevap gonderilemedi: acik esler arasi baglanti yok"});

    auto phone = client(clientEvents);
    phone->connectTo(HostEndpoint{"127.0.0.1", peer->port()});
    phone->send({9});
    ASSERT_TRUE(waitUntil([&] { return peer->connectionCount() == 1; }));
    peer->stop();
    EXPECT_EQ(peer->connectionCount(), 0u);
    EXPECT_TRUE(waitUntil([&] { return dnsSd->advertised().empty(); }));
}

TEST_F(PeerLinkTest, ClientConnectsOnlyToTheNamedServiceAndHonoursDisconnect) {
    std::atomic<int> toA{0}, toB{0};
    Lines aEvents, bEvents, cEvents, events, laterEvents;
    Events<PeerLinkClient::State> states;
    auto macA = listener(aEvents, "Mac A", [&](auto, const auto&) { ++toA; });
    auto macB = listener(bEvents, "Mac B", [&](auto, const auto&) { ++toB; });
    ASSERT_TRUE(waitUntil([&] { return dnsSd->advertised().size() == 2; }));

    auto phone = client(events);
    phone->setOnState([&](const PeerLinkClient::State& s) { states.add(s); });
    phone->send({1}); // nothing to send on yet: dropped
    phone->connectToServiceNamed("Mac B");
    ASSERT_TRUE(states.waitUntil([](const auto& all) {
        return !all.empty() && all.back().kind == PeerLinkClient::State::Kind::ready;
    }));
    phone->send({2});
    ASSERT_TRUE(waitUntil([&] { return toB.load() == 1; }));
    EXPECT_EQ(toA.load(), 0);
    EXPECT_TRUE(contains(events, "aranıyor: Mac B"));
    EXPECT_TRUE(contains(events, "bulunanlar: Mac A, Mac B"));
    EXPECT_TRUE(contains(events, "uç nokta bulundu, bağlanılıyor"));

    // No match: the search goes on, and a disconnect stops it before the service appears.
    auto waiting = client(laterEvents);
    waiting->connectToServiceNamed("Mac C");
    ASSERT_TRUE(waitForLine(laterEvents, "bulunanlar: "));
    EXPECT_EQ(startingWith(laterEvents.snapshot(), "uç nokta"), 0u);
    waiting->disconnect();
    auto macC = listener(cEvents, "Mac C");
    phone->connectToServiceNamed("Mac C"); // a live search does find it
    ASSERT_TRUE(waitForLine(events, "uç nokta", 2));
    EXPECT_EQ(startingWith(laterEvents.snapshot(), "uç nokta"), 0u);
}

// The whole peer route, once over each IP family: the phone finds the listener wherever the
// DNS-SD answer points, and the pong comes back from the address it wrote to.
class PeerRoute : public PeerLinkTest, public ::testing::WithParamInterface<const char*> {
  protected:
    void SetUp() override {
        if (const auto missing = unbindable(GetParam())) {
            GTEST_SKIP() << *missing;
        }
        dnsSd = FakeDnsSd::create(GetParam());
    }
};

INSTANTIATE_TEST_SUITE_P(Loopback, PeerRoute, ::testing::Values("127.0.0.1", "::1"),
                         [](const auto& info) {
                             return std::string(info.param) == "::1" ? "IPv6" : "IPv4";
                         });

TEST_P(PeerRoute, ReachesTheLinkServerAndItsPongComesBack) {
    auto interpreter = std::make_shared<RecordingInterpreter>();
    auto server = LinkServer::make(0, interpreter);
    server->updateAuthenticators({PhoneSide{}.authenticator});
    Lines events, clientEvents;
    Events<std::vector<std::uint8_t>> replies;
    auto peer = listener(events, "Mac", [server](auto message, const auto& reply) {
        server->handlePeerDatagram(message, reply);
    });
    auto phone = client(clientEvents);
    phone->setOnPacket([&](auto m) { replies.add({m.begin(), m.end()}); });
    phone->connectToServiceNamed("Mac");
    std::array<std::uint8_t, 24> ping{};
    PhoneSide::control(ping, PacketKind::ping, 77, 123456);
    std::array<std::uint8_t, 112> touch{};
    const std::size_t touchLength = PhoneSide{}.touch(touch, 1);
    ASSERT_TRUE(waitForLine(clientEvents, "uç nokta"));
    phone->send({ping.begin(), ping.end()});
    phone->send({touch.begin(), touch.begin() + static_cast<long>(touchLength)});
    ASSERT_TRUE(replies.waitForCount(1));
    const auto pong = PacketCodec::decodeControl(replies.snapshot()[0]);
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->kind, PacketKind::pong);
    EXPECT_EQ(pong->echoTimeNanos, 123456u);
    ASSERT_TRUE(waitUntil([&] { return interpreter->handled.load() == 1; }));
    const auto frames = interpreter->takeFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].isPeerRoute);
    EXPECT_TRUE(server->stats().isPeerRoute);
}

} // namespace
} // namespace ravnix::test
