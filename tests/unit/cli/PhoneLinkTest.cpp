// The phone's link against the desktop's real link server on loopback, over UDP and over the
// peer route (in-process DNS-SD), and the phone's store of pairings.

#include "cli/phone/PhoneLink.hpp"

#include "cli/phone/PhonePairings.hpp"
#include "peerlink/PeerLink.hpp"
#include "support/FakeDnsSd.hpp"
#include "support/MemorySecretStore.hpp"
#include "unit/link/LinkTestSupport.hpp"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace ravnix::test {
namespace {

using namespace std::chrono_literals;

class PhoneLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        interpreter = std::make_shared<RecordingInterpreter>();
        server = LinkServer::make(0, interpreter);
        ASSERT_TRUE(server->start());
        server->updateAuthenticators({PacketAuthenticator(kKey, 7)});
    }
    void TearDown() override { server->stop(); }

    std::unique_ptr<PhoneLink> udpLink(std::span<const std::uint8_t> key, std::uint32_t id) {
        auto address = SocketAddress::make("127.0.0.1", server->boundPort());
        EXPECT_TRUE(address);
        auto link = PhoneLink::overUdp(PacketAuthenticator(key, id), *address);
        EXPECT_TRUE(link) << (link ? "" : link.error());
        return link ? std::move(*link) : nullptr;
    }

    std::shared_ptr<RecordingInterpreter> interpreter;
    std::shared_ptr<LinkServer> server;
};

TEST_F(PhoneLinkTest, PingsAreAnsweredAndTheClocksAgree) {
    auto link = udpLink(kKey, 7);
    ASSERT_TRUE(link);
    const auto report = link->ping(5, 5ms, 1000ms);
    EXPECT_EQ(report.statistics.sampleCount, 5);
    EXPECT_EQ(report.statistics.lostCount, 0);
    EXPECT_GT(report.statistics.minNanos, 0u);
    // Both ends read the same clock here, so the offset is within one round trip.
    ASSERT_TRUE(report.offsets.offset());
    EXPECT_LE(std::llabs(*report.offsets.offset()),
              static_cast<long long>(report.statistics.maxNanos));
    EXPECT_EQ(link->counters().pongs, 5u);
}

TEST_F(PhoneLinkTest, FramesArriveAuthenticatedInSequence) {
    auto link = udpLink(kKey, 7);
    ASSERT_TRUE(link);
    const std::array<FingerSample, 2> fingers{
        {{1, FingerPhase::began, 0.1F, 0.2F, 0.05F}, {2, FingerPhase::moved, 0.3F, 0.4F, 0.05F}}};
    std::vector<std::uint32_t> numbers;
    for (int i = 0; i < 3; ++i) {
        const auto number = link->sendFrame(
            i == 2 ? TouchFlags::primaryDown | TouchFlags::primaryUp : TouchFlags{}, i == 2 ? 2 : 1,
            std::span(fingers).first(i == 0 ? 1 : 2), 1000u + static_cast<std::uint64_t>(i));
        ASSERT_TRUE(number);
        numbers.push_back(*number);
    }
    EXPECT_EQ(numbers[1], numbers[0] + 1);
    EXPECT_EQ(numbers[2], numbers[1] + 1);
    ASSERT_TRUE(waitUntil([&] { return interpreter->handled.load() == 3; }));
    const auto frames = interpreter->takeFrames();
    ASSERT_EQ(frames.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(frames[i].header.sequence, numbers[i]);
        EXPECT_EQ(frames[i].header.deviceTimeNanos, 1000u + i);
        EXPECT_FALSE(frames[i].isPeerRoute);
    }
    EXPECT_EQ(frames[0].fingers, std::vector<FingerSample>(fingers.begin(), fingers.begin() + 1));
    EXPECT_EQ(frames[2].fingers, std::vector<FingerSample>(fingers.begin(), fingers.end()));
    EXPECT_EQ(frames[2].header.flags.rawValue, 0x03);
    EXPECT_EQ(frames[2].header.clickCount, 2);
    EXPECT_EQ(server->stats().rejectedPackets, 0u);
}

TEST_F(PhoneLinkTest, AForgottenPairingIsRefusedWithAnUnpairedNotice) {
    auto link = udpLink(kKey, 7);
    ASSERT_TRUE(link);
    ASSERT_TRUE(link->sendFrame({}, 1, {}, 1));
    ASSERT_TRUE(waitUntil([&] { return interpreter->handled.load() == 1; }));
    EXPECT_FALSE(link->waitForUnpaired(50ms));

    server->updateAuthenticators({}); // the desktop removed the pairing
    ASSERT_TRUE(link->sendFrame({}, 1, {}, 2));
    EXPECT_TRUE(link->waitForUnpaired(2000ms));
    EXPECT_EQ(interpreter->handled.load(), 1u);
    EXPECT_EQ(link->counters().unpairedNotices, 1u);
    EXPECT_EQ(server->stats().rejectedPackets, 1u);

    // Pings need no pairing: the desktop still answers them.
    EXPECT_EQ(link->ping(1, 0ms, 1000ms).statistics.sampleCount, 1);
}

TEST_F(PhoneLinkTest, AWrongKeyIsRefused) {
    std::array<std::uint8_t, 32> otherKey = kKey;
    otherKey[0] ^= 1;
    auto link = udpLink(otherKey, 7);
    ASSERT_TRUE(link);
    ASSERT_TRUE(link->sendFrame({}, 1, {}, 1));
    EXPECT_TRUE(link->waitForUnpaired(2000ms));
    EXPECT_EQ(interpreter->handled.load(), 0u);
}

TEST_F(PhoneLinkTest, ThePeerRouteCarriesFramesAndPings) {
    const auto dnsSd = FakeDnsSd::create();
    auto listener = PeerLinkListener::make(dnsSd);
    ASSERT_TRUE(listener);
    (*listener)->setOnPacket([server = server](std::span<const std::uint8_t> bytes,
                                               const PeerLinkListener::Reply& reply) {
        server->handlePeerDatagram(bytes, reply);
    });
    ASSERT_TRUE((*listener)->start("Masa", "MAC-1"));

    auto missing = PhoneLink::overPeer(PacketAuthenticator(kKey, 7), dnsSd, "Mutfak", 300ms);
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().find("Mutfak"), std::string::npos) << missing.error();

    auto link = PhoneLink::overPeer(PacketAuthenticator(kKey, 7), dnsSd, "Masa", 3000ms);
    ASSERT_TRUE(link) << link.error();
    EXPECT_EQ((*link)->ping(3, 5ms, 1000ms).statistics.sampleCount, 3);
    const std::array<FingerSample, 1> finger{{{1, FingerPhase::began, 0.1F, 0.2F, 0.05F}}};
    ASSERT_TRUE((*link)->sendFrame({}, 1, finger, 5));
    ASSERT_TRUE(waitUntil([&] { return interpreter->handled.load() == 1; }));
    const auto frames = interpreter->takeFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].isPeerRoute);
    EXPECT_EQ(frames[0].fingers[0], finger[0]);
    link->reset();
    (*listener)->stop();
}

TEST(PhonePairingsTest, KeepsTheRecordThePortAndTheUnpairedMark) {
    char pattern[] = "/tmp/ravnix-phone-pairings-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path folder = pattern;
    const auto secrets = std::make_shared<MemorySecretStore>();
    {
        PhonePairings pairings(secrets, folder / "data" / "facts.json");
        EXPECT_FALSE(pairings.find());
        const auto id = pairings.deviceID();
        ASSERT_TRUE(id);
        EXPECT_EQ(pairings.deviceID(), id) << "made once, then kept";

        PairingBrowser::PairingStep::Accepted accepted{
            std::vector<std::uint8_t>(kKey.begin(), kKey.end()),
            41,
            "MAC-1",
            "Masa",
            {"127.0.0.1", "10.0.0.2"}};
        ASSERT_TRUE(pairings.save(accepted, 19931));
        accepted.macIdentifier = "MAC-2";
        accepted.macName = "Mutfak";
        accepted.pairingID = 42;
        ASSERT_TRUE(pairings.save(accepted, 9931));
        pairings.markUnpaired("MAC-1");
    }
    PhonePairings again(secrets, folder / "data" / "facts.json");
    const auto latest = again.find();
    ASSERT_TRUE(latest);
    EXPECT_EQ(latest->record.displayName, "Mutfak");
    const auto first = again.find("Masa");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->record.id, "MAC-1");
    EXPECT_EQ(first->record.pairingID, 41u);
    EXPECT_EQ(first->touchPort, 19931);
    EXPECT_TRUE(first->isUnpairedByDesktop);
    EXPECT_EQ(first->record.hosts, (std::vector<std::string>{"127.0.0.1", "10.0.0.2"}));
    EXPECT_TRUE(first->record.key());
    EXPECT_EQ(again.store().service(), "com.belvor.ravnix.phone.pairings");

    // Pairing again clears the mark.
    PairingBrowser::PairingStep::Accepted renewed{
        std::vector<std::uint8_t>(kKey.begin(), kKey.end()), 43, "MAC-1", "Masa", {"127.0.0.1"}};
    ASSERT_TRUE(again.save(renewed, 19931));
    EXPECT_FALSE(again.find("MAC-1")->isUnpairedByDesktop);
    EXPECT_EQ(again.store().loadAll().size(), 2u);
    std::filesystem::remove_all(folder);
}

} // namespace
} // namespace ravnix::test
