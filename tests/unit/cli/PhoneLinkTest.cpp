// The phone's link where the end-to-end tests do not reach, and the phone's store of pairings.

#include "cli/phone/PhoneLink.hpp"

#include "cli/phone/PhonePairings.hpp"
#include "support/FakeDnsSd.hpp"
#include "support/MemorySecretStore.hpp"
#include "unit/link/LinkTestSupport.hpp"

#include <filesystem>
#include <gtest/gtest.h>

namespace ravnix::test {
namespace {

using namespace std::chrono_literals;

// Pings, frames, the unpaired notice and the peer route over PhoneLink: PhoneEndToEndTest.
TEST(PhoneLinkTest, APeerRouteToAnAbsentDesktopNamesIt) {
    const auto missing =
        PhoneLink::overPeer(PacketAuthenticator(kKey, 7), FakeDnsSd::create(), "Mutfak", 300ms);
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().find("Mutfak"), std::string::npos) << missing.error();
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
