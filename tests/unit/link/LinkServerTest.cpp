#include "LinkTestSupport.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>

namespace ravnix::test {
namespace {

using namespace std::chrono_literals;

class LinkServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        interpreter = std::make_shared<RecordingInterpreter>();
        server = LinkServer::make(0, interpreter, clock.function());
        server->setOnStats([this](const LinkServer::Stats& s) {
            std::lock_guard lock(publishedLock);
            published.push_back(s);
        });
        server->setOnSafetyRelease([this](const std::string& text) {
            std::lock_guard lock(publishedLock);
            reports.push_back(text);
        });
        server->setOnPeerLeft([this] { peerLeft.fetch_add(1); });
        ASSERT_TRUE(server->start());
        phone = std::make_unique<LoopbackPhone>(server->boundPort());
        // The receive loop is running (and its statistics window has begun) once a ping is
        // answered; on a busy machine the thread may start well after start() returns.
        phone->sync(1);
    }
    void TearDown() override { server->stop(); }

    void pair() { server->updateAuthenticators({PhoneSide{}.authenticator}); }
    void sendTouch(std::uint32_t sequence, TouchFlags flags = {}) {
        std::array<std::uint8_t, 112> packet{};
        phone->send(std::span(packet).first(PhoneSide{}.touch(packet, sequence, 1, flags)));
    }
    std::vector<std::uint32_t> deliveredSequences() {
        std::vector<std::uint32_t> out;
        for (const auto& frame : interpreter->takeFrames()) {
            out.push_back(frame.header.sequence);
        }
        return out;
    }
    std::size_t publications() {
        std::lock_guard lock(publishedLock);
        return published.size();
    }
    // Moves time on and waits for a statistics publication, which comes right after a
    // safety check that saw the new time.
    void advanceAndWaitForChecks(std::chrono::nanoseconds by) {
        const std::size_t before = publications();
        clock.advance(by + 1s); // also opens a new statistics window
        ASSERT_TRUE(waitUntil([&] { return publications() > before; }));
    }
    std::vector<std::string> takeReports() {
        std::lock_guard lock(publishedLock);
        return std::exchange(reports, {});
    }

    AdjustableClock clock;
    std::shared_ptr<RecordingInterpreter> interpreter;
    std::shared_ptr<LinkServer> server;
    std::unique_ptr<LoopbackPhone> phone;
    std::atomic<int> peerLeft{0};
    std::mutex publishedLock;
    std::vector<LinkServer::Stats> published;
    std::vector<std::string> reports;
};

TEST_F(LinkServerTest, UnpairedSenderIsRejectedAndToldOncePerSecond) {
    sendTouch(1);
    auto notice = phone->receive();
    ASSERT_TRUE(notice);
    ASSERT_EQ(notice->size(), 24u);
    const auto header = PacketCodec::peekHeader(*notice);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->kind, PacketKind::unpaired);
    EXPECT_EQ(header->sequence, 0u);

    sendTouch(2);
    phone->sync();
    // The datagram right after the rejected one is the pong: no second notice.
    const auto stats = server->stats();
    EXPECT_EQ(stats.rejectedPackets, 2u);
    EXPECT_FALSE(stats.isPeerRoute);
    EXPECT_EQ(interpreter->handled.load(), 0u);

    clock.advance(1100ms);
    sendTouch(3);
    auto again = phone->receive();
    ASSERT_TRUE(again);
    EXPECT_EQ(PacketCodec::peekHeader(*again)->kind, PacketKind::unpaired);
}

TEST_F(LinkServerTest, AuthenticationFailuresNeverReachTheInterpreter) {
    pair();
    std::array<std::uint8_t, 112> packet{};
    const std::size_t length = PhoneSide{}.touch(packet, 1);
    packet[30] ^= 0x01; // a finger byte
    phone->send(std::span(packet).first(length));

    PhoneSide stranger;
    stranger.pairingID = 8; // not in the table
    stranger.authenticator = PacketAuthenticator(kKey, 8);
    phone->send(std::span(packet).first(stranger.touch(packet, 2)));

    // A tagged body too short to be a touch packet: passes the tag, fails decoding, uncounted.
    std::array<std::uint8_t, 30> shortPacket{};
    PhoneSide::control(shortPacket, PacketKind::touch, 3, 0);
    const std::uint64_t tag = PhoneSide{}.authenticator.tag(std::span(shortPacket).first(18));
    ASSERT_TRUE(PacketCodec::appendTrailer(7, tag, shortPacket, 18));
    phone->send(shortPacket);

    phone->sync();
    EXPECT_EQ(server->stats().rejectedPackets, 2u);
    EXPECT_EQ(interpreter->handled.load(), 0u);
}

TEST_F(LinkServerTest, SequenceRuleCountsLossAndDropsLateFrames) {
    pair();
    auto step = [&](std::uint32_t sequence) {
        sendTouch(sequence);
        phone->sync();
        return server->stats();
    };
    step(7);
    auto s = step(10);
    EXPECT_EQ(s.lostPackets, 2u);
    s = step(7);
    EXPECT_EQ(s.reorderedPackets, 1u);
    s = step(10); // repeated
    EXPECT_EQ(s.reorderedPackets, 2u);
    s = step(100);
    EXPECT_EQ(s.lostPackets, 2u + 89u);
    s = step(5); // 95 behind: the sender restarted
    EXPECT_EQ(s.lostPackets, 91u);
    EXPECT_EQ(s.reorderedPackets, 2u);

    s = step(4294967295u); // 6 behind 5: late
    EXPECT_EQ(s.reorderedPackets, 3u);
    clock.advance(1100ms);
    step(4294967295u); // after a quiet second: a new run
    s = step(0);       // wraps to +1
    EXPECT_EQ(s.lostPackets, 91u);
    EXPECT_EQ(s.reorderedPackets, 3u);

    clock.advance(1100ms);
    s = step(0); // even a repeat starts a new run after a quiet second
    EXPECT_EQ(s.lostPackets, 91u);
    EXPECT_EQ(s.reorderedPackets, 3u);

    EXPECT_EQ(deliveredSequences(), (std::vector<std::uint32_t>{7, 10, 100, 5, 4294967295u, 0, 0}));
    EXPECT_EQ(server->stats().touchPackets, 7u);
}

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
    EXPECT_NE(pong->deviceTimeNanos, 0u);
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

    PhoneSide::control(packet, PacketKind::ping, 1, 1);
    packet[2] = 2; // version
    phone->send(packet);
    phone->sync();
    EXPECT_EQ(server->stats().versionMismatches, 1u);
    server->handlePeerDatagram(packet, {});
    EXPECT_EQ(server->stats().versionMismatches, 1u);

    // The peer route has no sequence rule and does not add to the UDP window.
    pair();
    std::array<std::uint8_t, 112> touch{};
    for (std::uint32_t sequence : {5u, 5u, 3u}) {
        server->handlePeerDatagram(std::span(touch).first(PhoneSide{}.touch(touch, sequence)), {});
    }
    const auto frames = interpreter->takeFrames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_TRUE(frames[0].isPeerRoute);
    const auto stats = server->stats();
    EXPECT_EQ(stats.touchPackets, 3u);
    EXPECT_EQ(stats.reorderedPackets, 0u);
    EXPECT_TRUE(stats.isPeerRoute);
    EXPECT_EQ(stats.lastPacketAgoSeconds, 0.0);

    // A UDP touch datagram, even a rejected one, turns the route back to Wi-Fi.
    server->updateAuthenticators({});
    sendTouch(1);
    ASSERT_TRUE(phone->receive()); // the unpaired notice
    EXPECT_FALSE(server->stats().isPeerRoute);
    server->handlePeerDatagram(std::span(touch).first(PhoneSide{}.touch(touch, 9)), {});
    EXPECT_EQ(server->stats().rejectedPackets, 2u);
}

TEST_F(LinkServerTest, SafetyReleaseOnWifiSilenceOncePerSilence) {
    // Before any accepted frame nothing is released, however long the silence.
    interpreter->buttonDown = true;
    advanceAndWaitForChecks(10s);
    EXPECT_TRUE(takeReports().empty());
    EXPECT_EQ(interpreter->releases.load(), 0);

    pair();
    sendTouch(1, TouchFlags::primaryDown);
    phone->sync();
    advanceAndWaitForChecks(0ms); // 1 s of silence
    ASSERT_TRUE(waitUntil([&] { return interpreter->releases.load() == 1; }));
    const auto reports = takeReports();
    ASSERT_EQ(reports.size(), 1u);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(reports[0], match,
                                 std::regex("guvenlik agi: (\\d+) ms sessizlik · yol=wifi")))
        << reports[0];
    const int milliseconds = std::stoi(match[1]);
    EXPECT_GE(milliseconds, 1000);
    EXPECT_LT(milliseconds, 3000);
    EXPECT_FALSE(interpreter->buttonDown.load());

    advanceAndWaitForChecks(2s);
    EXPECT_TRUE(takeReports().empty());
    EXPECT_EQ(interpreter->releases.load(), 1);
}

TEST_F(LinkServerTest, SafetyReleaseWaitsLongerOnThePeerRoute) {
    pair();
    std::array<std::uint8_t, 112> touch{};
    server->handlePeerDatagram(std::span(touch).first(PhoneSide{}.touch(touch, 1)), {});
    interpreter->buttonDown = true;

    advanceAndWaitForChecks(500ms); // 1.5 s: fine for the peer route
    EXPECT_EQ(takeReports(), std::vector<std::string>{});
    EXPECT_EQ(interpreter->releases.load(), 0);

    advanceAndWaitForChecks(500ms); // 3 s
    ASSERT_TRUE(waitUntil([&] { return interpreter->releases.load() == 1; }));
    const auto reports = takeReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_THAT(reports[0], ::testing::EndsWith(" ms sessizlik · yol=airdrop"));
}

TEST_F(LinkServerTest, ReportHandlerThatReleasesPreventsASecondRelease) {
    server->setOnSafetyRelease([this](const std::string&) { interpreter->buttonDown = false; });
    pair();
    sendTouch(1);
    phone->sync();
    interpreter->buttonDown = true;
    advanceAndWaitForChecks(0ms);
    EXPECT_EQ(interpreter->releases.load(), 0);
}

TEST_F(LinkServerTest, StatisticsArePublishedEverySecondAlsoWhenIdle) {
    // Real time only here: two windows of about a second each.
    ASSERT_TRUE(waitUntil([&] { return publications() >= 2; }, 4000ms));
    {
        std::lock_guard lock(publishedLock);
        EXPECT_EQ(published[0].packetsPerSecond, 0.0);
        EXPECT_FALSE(published[0].lastPacketAgoSeconds.has_value());
    }
    pair();
    std::array<std::uint8_t, 112> touch{};
    server->handlePeerDatagram(std::span(touch).first(PhoneSide{}.touch(touch, 1)), {});
    const std::size_t before = publications();
    ASSERT_TRUE(waitUntil([&] { return publications() > before; }, 3000ms));
    std::lock_guard lock(publishedLock);
    const auto& last = published.back();
    ASSERT_TRUE(last.lastPacketAgoSeconds.has_value());
    EXPECT_LT(*last.lastPacketAgoSeconds, 2.0);
    EXPECT_EQ(last.packetsPerSecond, 0.0); // peer frames are not part of the UDP rate
}

TEST_F(LinkServerTest, ByeGoesToTheLastSenderAndDuplicateIdsKeepTheLast) {
    // Before start there is neither a socket nor a sender: nothing to send, nothing to fail.
    LinkServer::make(0, interpreter)->sendBye();
    server->sendBye(); // the start-up ping made this phone the last sender
    auto bye = phone->receive();
    ASSERT_TRUE(bye);
    EXPECT_EQ(PacketCodec::peekHeader(*bye)->kind, PacketKind::bye);

    server->updateAuthenticators(
        {PacketAuthenticator(std::array<std::uint8_t, 32>{}, 7), PhoneSide{}.authenticator});
    sendTouch(1);
    phone->sync();
    EXPECT_EQ(interpreter->handled.load(), 1u);
}

TEST_F(LinkServerTest, RestartWaitsForTheOldThreadAndRebinds) {
    const std::uint16_t first = server->boundPort();
    ASSERT_TRUE(server->start());
    EXPECT_NE(server->boundPort(), 0);
    LoopbackPhone again(server->boundPort());
    again.sync();
    (void)first;
}

// Frames from both routes and the safety check at once; the recording interpreter fails
// the test if two entries overlap, and ThreadSanitizer watches the rest.
TEST_F(LinkServerTest, RoutesAndSafetyCheckRaceSafely) {
    pair();
    std::atomic<bool> done{false};
    std::thread peer([&] {
        std::array<std::uint8_t, 112> touch{};
        for (std::uint32_t i = 0; i < 3000 && !done.load(); ++i) {
            server->handlePeerDatagram(std::span(touch).first(PhoneSide{}.touch(touch, i, 3)), {});
            interpreter->buttonDown = true;
        }
    });
    std::thread clockMover([&] {
        for (int i = 0; i < 40 && !done.load(); ++i) {
            clock.advance(300ms);
            std::this_thread::sleep_for(5ms);
        }
    });
    for (std::uint32_t i = 1; i <= 3000; ++i) {
        sendTouch(i, TouchFlags::primaryDown);
        if (i % 100 == 0) {
            phone->sync(100000 + i);
        }
    }
    done = true;
    peer.join();
    clockMover.join();
    phone->sync();
    EXPECT_GE(interpreter->handled.load(), 3000u);
}

} // namespace
} // namespace ravnix::test
