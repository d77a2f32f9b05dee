#include "LinkTestSupport.hpp"

#include <gtest/gtest.h>

namespace ravnix::test {
namespace {

using namespace std::chrono_literals;

TEST_F(LinkServerTest, PingsAreAnsweredWithoutAuthentication) {
    std::array<std::uint8_t, 24> ping{};
    PhoneSide::control(ping, PacketKind::ping, 4242, 987654321ULL);
    phone->send(ping);
    auto reply = phone->receive();
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), 24u);
    const auto pong = PacketCodec::decodeControl(*reply);
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->kind, PacketKind::pong);
    EXPECT_EQ(pong->sequence, 4242u);
    EXPECT_EQ(pong->echoTimeNanos, 987654321ULL);
    EXPECT_EQ(pong->deviceTimeNanos, clock.now.load());
    EXPECT_TRUE(
        waitUntil([&] { return server->stats().echoedPings == 2; })); // with the start-up sync

    // The peer route answers through its reply function and counts even with nobody to reply to.
    std::vector<std::uint8_t> peerReply;
    server->handlePeerDatagram(ping, [&](std::span<const std::uint8_t> bytes) {
        peerReply.assign(bytes.begin(), bytes.end());
    });
    EXPECT_EQ(PacketCodec::decodeControl(peerReply)->echoTimeNanos, 987654321ULL);
    server->handlePeerDatagram(ping, {});
    EXPECT_EQ(server->stats().echoedPings, 4u);
}

TEST_F(LinkServerTest, ByeVersionMismatchAndPeerRouteDifferences) {
    std::array<std::uint8_t, 24> packet{};
    PhoneSide::control(packet, PacketKind::bye, 0, 1);
    phone->send(packet);
    phone->sync();
    EXPECT_EQ(peerLeft.load(), 1);
    server->handlePeerDatagram(packet, {});
    EXPECT_EQ(peerLeft.load(), 2);

    // Another version is counted on the UDP route (the strangers flood checks that), not here.
    PhoneSide::control(packet, PacketKind::ping, 1, 1);
    packet[2] = 2;
    server->handlePeerDatagram(packet, {});
    EXPECT_EQ(server->stats().versionMismatches, 0u);

    // The peer route has no sequence rule and does not add to the UDP window.
    pair();
    for (std::uint32_t sequence : {5u, 5u, 3u}) {
        peerTouch(sequence);
    }
    const auto frames = interpreter->takeFrames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_TRUE(frames[0].isPeerRoute);
    auto stats = server->stats();
    EXPECT_EQ(stats.touchPackets, 3u);
    EXPECT_EQ(stats.reorderedPackets, 0u);
    EXPECT_TRUE(stats.isPeerRoute);
    EXPECT_EQ(stats.lastPacketAgoSeconds, 0.0);

    // An accepted UDP frame turns the route back to Wi-Fi.
    sendTouch(1);
    phone->sync();
    stats = server->stats();
    EXPECT_FALSE(stats.isPeerRoute);
    EXPECT_FALSE(interpreter->takeFrames().at(0).isPeerRoute);
    server->updateAuthenticators({});
    peerTouch(9);
    EXPECT_EQ(server->stats().rejectedPackets, 1u);
}

TEST_F(LinkServerTest, SafetyReleaseOnWifiSilenceOncePerSilence) {
    // Before any accepted frame nothing is released, however long the silence.
    interpreter->buttonDown = true;
    advanceAndSettle(10s);
    EXPECT_TRUE(reports.take().empty());
    EXPECT_EQ(interpreter->releases.load(), 0);

    pair();
    sendTouch(1, TouchFlags::primaryDown);
    phone->sync();
    advanceAndSettle(700ms); // still allowed
    EXPECT_TRUE(reports.take().empty());
    advanceAndSettle(1ns);
    EXPECT_EQ(reports.take(),
              std::vector<std::string>{"guvenlik agi: 700 ms sessizlik · yol=wifi"});
    EXPECT_EQ(interpreter->releases.load(), 1);
    EXPECT_FALSE(interpreter->buttonDown.load());
    advanceAndSettle(2s);
    EXPECT_TRUE(reports.take().empty());
    EXPECT_EQ(interpreter->releases.load(), 1);

    // A report handler that releases the button itself leaves nothing for the server to do.
    server->setOnSafetyRelease([this](const std::string&) { interpreter->buttonDown = false; });
    sendTouch(2);
    phone->sync();
    interpreter->buttonDown = true;
    advanceAndSettle(1s);
    EXPECT_EQ(interpreter->releases.load(), 1);
}

TEST_F(LinkServerTest, StatisticsArePublishedEverySecondAlsoWhenIdle) {
    // Nothing arrives: the receive timeout alone brings the checks round.
    clock.advance(1s);
    ASSERT_TRUE(published.waitForCount(1));
    advanceAndSettle(999'999'999ns); // not more than a second since that window
    EXPECT_EQ(published.snapshot().size(), 1u);
    advanceAndSettle(1ns);
    EXPECT_EQ(published.snapshot().size(), 2u);
    EXPECT_EQ(published.snapshot()[0].packetsPerSecond, 0.0);
    EXPECT_FALSE(published.snapshot()[0].lastPacketAgoSeconds.has_value());
    pair();
    for (std::uint32_t sequence = 1; sequence <= 3; ++sequence) {
        sendTouch(sequence);
    }
    phone->sync();
    peerTouch(9);
    advanceAndSettle(2s);
    const auto all = published.snapshot();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[2].lastPacketAgoSeconds, 2.0);
    EXPECT_EQ(all[2].packetsPerSecond, 1.5); // peer frames are not part of the UDP rate
    EXPECT_EQ(all[2].touchPackets, 4u);
}

TEST_F(LinkServerTest, ByeGoesToTheSenderOfTheLastAcceptedFrame) {
    // Before start there is neither a socket nor a sender: nothing to send, nothing to fail.
    LinkServer::make(0, interpreter)->sendBye();
    // A ping is answered but makes nobody the bye's receiver: the pong is all that comes.
    server->sendBye();
    std::array<std::uint8_t, 24> ping{};
    phone->send(std::span(ping).first(PhoneSide::control(ping, PacketKind::ping, 5, 1)));
    ASSERT_EQ(PacketCodec::peekHeader(phone->receive().value())->kind, PacketKind::pong);

    // With a repeated pairing number the later key wins.
    server->updateAuthenticators(
        {PacketAuthenticator(std::array<std::uint8_t, 32>{}, 7), PhoneSide{}.authenticator});
    sendTouch(1);
    phone->sync();
    EXPECT_EQ(interpreter->handled.load(), 1u);
    server->sendBye();
    auto bye = phone->receive();
    ASSERT_TRUE(bye);
    EXPECT_EQ(PacketCodec::peekHeader(*bye)->kind, PacketKind::bye);
}

TEST_F(LinkServerTest, RestartWaitsForTheOldThreadAndRebinds) {
    ASSERT_TRUE(server->start());
    EXPECT_NE(server->boundPort(), 0);
    LoopbackPhone again(server->boundPort());
    again.sync();
}

// Frames from both routes and the safety check at once; the recording interpreter fails
// the test if two entries overlap, and ThreadSanitizer watches the rest.
TEST_F(LinkServerTest, RoutesAndSafetyCheckRaceSafely) {
    pair();
    std::thread peer([&] {
        std::array<std::uint8_t, 112> touch{};
        for (std::uint32_t i = 0; i < 3000; ++i) {
            server->handlePeerDatagram(std::span(touch).first(PhoneSide{}.touch(touch, i, 3)), {});
            interpreter->buttonDown = true;
            if (i % 75 == 0) {
                clock.advance(3s); // a silence long enough for a release on either route
            }
        }
    });
    for (std::uint32_t i = 1; i <= 3000; ++i) {
        sendTouch(i, TouchFlags::primaryDown);
        if (i % 100 == 0) {
            phone->sync(100000 + i);
        }
    }
    peer.join();
    phone->sync();
    EXPECT_EQ(interpreter->handled.load(), 6000u);
}

} // namespace
} // namespace ravnix::test
