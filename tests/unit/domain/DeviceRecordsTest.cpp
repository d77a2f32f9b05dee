#include "domain/DeviceID.hpp"
#include "domain/PairedDevice.hpp"
#include "domain/PairingKey.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace ravnix {
namespace {

using namespace std::chrono_literals;

DeviceID deviceFrom(const char* text) {
    const auto id = DeviceID::parse(text);
    EXPECT_TRUE(id.has_value()) << text;
    return id.value_or(DeviceID{});
}

TEST(DeviceID, CanonicalTextIsUpperCase) {
    EXPECT_EQ(DeviceID{}.description(), "00000000-0000-0000-0000-000000000000");

    UUID counting;
    for (std::size_t i = 0; i < counting.bytes.size(); ++i) {
        counting.bytes[i] = static_cast<std::uint8_t>(0x10 * i + 0x0F - i);
    }
    EXPECT_EQ(DeviceID{counting}.description(), "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0");

    // Lower-case input is read; the text that comes back is upper-case.
    const auto mixed = deviceFrom("0f1e2d3c-4B5A-6978-8796-a5b4c3d2e1f0");
    EXPECT_EQ(mixed, DeviceID{counting});
    EXPECT_EQ(std::hash<DeviceID>{}(mixed), std::hash<DeviceID>{}(DeviceID{counting}));
}

TEST(DeviceID, ParseRejectsAnythingButTheCanonicalShape) {
    for (const char* text : {
             "",
             "0F1E2D3C4B5A69788796A5B4C3D2E1F0",     // no hyphens
             "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F",  // one digit short
             "0F1E2D3-C4B5A-6978-8796-A5B4C3D2E1F0", // hyphen moved
             "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1G0", // not a digit
         }) {
        EXPECT_FALSE(DeviceID::parse(text).has_value()) << '"' << text << '"';
    }
}

TEST(DeviceID, RandomIdentifiersAreVersion4AndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 64; ++i) {
        const auto id = DeviceID::random();
        ASSERT_TRUE(id.has_value());
        const auto& bytes = id->rawValue.bytes;
        EXPECT_EQ(bytes[6] & 0xF0, 0x40);
        EXPECT_EQ(bytes[8] & 0xC0, 0x80);
        const std::string text = id->description();
        EXPECT_EQ(text[14], '4');
        EXPECT_EQ(DeviceID::parse(text), id);
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 64u);
}

TEST(PairingKey, ExistsOnlyForExactly32Bytes) {
    for (const std::size_t length : {0u, 31u, 33u}) {
        EXPECT_FALSE(PairingKey::make(std::vector<std::uint8_t>(length, 0xAB))) << length;
    }
    const std::vector<std::uint8_t> zeros(32, 0);
    const auto a = PairingKey::make(zeros);
    const auto b = PairingKey::make(std::vector<std::uint8_t>(32, 0));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(*a, *b);

    // A difference in the last byte alone must count, and the bytes read back as given.
    std::vector<std::uint8_t> lastDiffers = zeros;
    lastDiffers.back() = 1;
    const auto c = PairingKey::make(lastDiffers);
    ASSERT_TRUE(c);
    EXPECT_TRUE(std::ranges::equal(c->material(), lastDiffers));
    EXPECT_NE(*a, *c);
}

TEST(PairedDevice, EveryFieldTakesPartInEqualityAndHashing) {
    const auto id = deviceFrom("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    const auto pairedAt = std::chrono::system_clock::time_point(1'700'000'000s);
    const PairedDevice base(id, "Ayşe'nin iPhone'u", "iPhone15,2", pairedAt);
    const std::hash<PairedDevice> hash;

    // Absent and present last-seen dates differ, even when the date is the epoch itself.
    PairedDevice seen = base;
    seen.setLastSeenAt(std::chrono::system_clock::time_point{});
    EXPECT_NE(hash(seen), hash(base));
    seen.setLastSeenAt(std::nullopt);
    EXPECT_EQ(hash(seen), hash(base));

    // Name and model must not be able to trade characters and hash alike.
    const PairedDevice shifted(id, "Ayşe'nin iPhone'ui", "Phone15,2", pairedAt);
    EXPECT_NE(hash(shifted), hash(base));
}

} // namespace
} // namespace ravnix
