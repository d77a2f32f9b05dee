#include "security/PacketAuthenticator.hpp"

#include "packet/PacketCodec.hpp"
#include "security/HmacSha256.hpp"

#include <array>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace ravnix {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

std::array<std::uint8_t, 32> testKey(std::uint8_t seed) {
    std::array<std::uint8_t, 32> key{};
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<std::uint8_t>(seed + 7 * i);
    }
    return key;
}

Bytes touchBody(int fingers) {
    std::vector<FingerSample> samples(static_cast<std::size_t>(fingers),
                                      FingerSample{3, FingerPhase::moved, 0.25f, 0.75f, 9.0f});
    Bytes body(static_cast<std::size_t>(PacketFormat::touchPacketSize(fingers)));
    EXPECT_TRUE(PacketCodec::encodeTouch({42, 1'000'000, 0.0f, 0, TouchFlags::primaryDown, 1},
                                         samples, body));
    return body;
}

// RFC 4231 test cases 2 (short key), 4 (25-byte key) and 6 (key longer than a block),
// with the message split in two as the authenticator feeds body and pairing ID.
TEST(HmacSha256, Rfc4231Vectors) {
    struct Case {
        Bytes key;
        Bytes data;
        const char* mac;
    };
    const std::vector<Case> cases{
        {bytesOf("Jefe"), bytesOf("what do ya want for nothing?"),
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {fromHex("0102030405060708090a0b0c0d0e0f10111213141516171819"), Bytes(50, 0xcd),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {Bytes(131, 0xaa), bytesOf("Test Using Larger Than Block-Size Key - Hash Key First"),
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    };
    for (const auto& c : cases) {
        const HmacSha256 hmac(c.key);
        const auto split = std::span(c.data).size() - 4;
        const auto mac =
            hmac.compute(std::span(c.data).first(split), std::span(c.data).subspan(split));
        EXPECT_EQ(Bytes(mac.begin(), mac.end()), fromHex(c.mac));
        EXPECT_EQ(hmac.compute(c.data), mac); // same MAC unsplit
    }
}

// The first eight bytes, little-endian, of HMAC-SHA-256 over the body and then the pairing
// number (little-endian); computed with OpenSSL's HMAC().
TEST(PacketAuthenticator, TagIsTheFirstEightMacBytesOverBodyThenPairingId) {
    const PacketAuthenticator auth(testKey(1), 0x01020304u);
    const Bytes body = touchBody(2);
    EXPECT_EQ(auth.tag(body), 0x942d3c83d34e8896u);
    EXPECT_TRUE(auth.isValid(0x942d3c83d34e8896u, body));
    EXPECT_FALSE(auth.isValid(0x942d3c83d34e8896u ^ 1, body));
}

TEST(PacketAuthenticator, RejectsAnyAlteration) {
    const auto key = testKey(9);
    const PacketAuthenticator auth(key, 77);
    Bytes packet = touchBody(5);
    const std::size_t bodyLength = packet.size();
    packet.resize(bodyLength + PacketFormat::trailerSize);
    ASSERT_TRUE(PacketCodec::appendTrailer(77, auth.tag(std::span(packet).first(bodyLength)),
                                           packet, bodyLength));

    // Worst case for the receiver: whichever ID the trailer names belongs to a pairing with
    // the same key. The ID is inside the MAC, so a moved packet still fails.
    auto check = [&](const Bytes& datagram) {
        const auto trailer = PacketCodec::readTrailer(datagram).value();
        return PacketAuthenticator(key, trailer.pairingID)
            .isValid(trailer.tag, std::span(datagram).first(trailer.bodyLength));
    };
    ASSERT_TRUE(check(packet));
    for (std::size_t i = 0; i < bodyLength; ++i) {
        Bytes altered = packet;
        altered[i] ^= 0x01;
        EXPECT_FALSE(check(altered)) << "body byte " << i;
    }
    for (std::size_t i = bodyLength; i < bodyLength + 4; ++i) {
        Bytes altered = packet;
        altered[i] ^= 0x80;
        EXPECT_FALSE(check(altered)) << "pairing ID byte " << i - bodyLength;
    }
    // A tag computed over body plus trailer is not the tag of the body.
    EXPECT_FALSE(auth.isValid(auth.tag(packet), std::span(packet).first(bodyLength)));
}

TEST(PacketAuthenticator, OneInstanceTagsOnSeveralThreadsAtOnce) {
    const PacketAuthenticator auth(testKey(5), 11);
    const Bytes body = touchBody(3);
    const std::uint64_t expected = auth.tag(body);
    std::array<int, 4> mismatches{};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < mismatches.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20000; ++i) {
                mismatches[t] += auth.tag(body) != expected;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches, (std::array<int, 4>{}));
}

} // namespace
} // namespace ravnix
