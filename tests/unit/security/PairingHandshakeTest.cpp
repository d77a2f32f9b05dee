#include "security/PairingHandshake.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace ravnix {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Pairing::Role;

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

PairingHandshake handshake(Role role) {
    auto made = PairingHandshake::make(role);
    EXPECT_TRUE(made) << Pairing::describe(made.error());
    return std::move(*made);
}

TEST(PairingHandshake, BothRolesAgreeAndSameRolesDoNot) {
    const auto phone = handshake(Role::initiator);
    const auto desktop = handshake(Role::responder);
    const auto phoneSide = phone.complete(desktop.publicKey());
    const auto desktopSide = desktop.complete(phone.publicKey());
    ASSERT_TRUE(phoneSide && desktopSide);
    EXPECT_EQ(*phoneSide, *desktopSide);
    EXPECT_EQ(phoneSide->code.size(), 6u);
    EXPECT_EQ(phoneSide->code.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(phone.complete(desktop.publicKey()).value(), *phoneSide); // repeatable

    // Two initiators put their own key first: different transcripts, different outcomes.
    const auto other = handshake(Role::initiator);
    EXPECT_NE(phone.complete(other.publicKey())->key, other.complete(phone.publicKey())->key);

    // A new handshake against the same peer has a new private key.
    const auto again = handshake(Role::initiator);
    EXPECT_NE(again.complete(desktop.publicKey())->key, phoneSide->key);
}

TEST(PairingHandshake, RejectsMalformedPeerKeys) {
    const auto desktop = handshake(Role::responder);
    for (std::size_t length : {0u, 31u, 33u}) {
        const Bytes peer(length, 0x09);
        const auto outcome = desktop.complete(peer);
        ASSERT_FALSE(outcome);
        EXPECT_EQ(outcome.error(), Pairing::Error(Pairing::Failure::badPublicKey)) << length;
    }
    // A low-order point gives an all-zero secret; the library refuses it with its own error.
    const auto zero = desktop.complete(Bytes(32, 0));
    ASSERT_FALSE(zero);
    EXPECT_TRUE(std::holds_alternative<Pairing::PrimitiveError>(zero.error()))
        << Pairing::describe(zero.error());
}

// RFC 7748 section 6.1, then what both roles derive from that secret: HKDF-SHA-256 with the salt
// "Ravnix-pairing-v1" and the info "Ravnix-session-v1" (the key) or "Ravnix-code-v1" (8 bytes,
// the first four little-endian modulo 10^6: the code), each followed by the initiator's and then
// the responder's public key.
TEST(PairingHandshake, Rfc7748AgreementAndTheDerivationFromIt) {
    const Bytes alicePrivate =
        fromHex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
    const Bytes bobPrivate =
        fromHex("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb");
    const auto alice =
        PairingHandshake::withPrivateKey(Role::initiator,
                                         std::span<const std::uint8_t, 32>(alicePrivate.data(), 32))
            .value();
    const auto bob = PairingHandshake::withPrivateKey(
                         Role::responder, std::span<const std::uint8_t, 32>(bobPrivate.data(), 32))
                         .value();
    EXPECT_EQ(Bytes(alice.publicKey().begin(), alice.publicKey().end()),
              fromHex("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a"));
    EXPECT_EQ(Bytes(bob.publicKey().begin(), bob.publicKey().end()),
              fromHex("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f"));
    const auto secret = alice.sharedSecret(bob.publicKey()).value();
    EXPECT_EQ(Bytes(secret.begin(), secret.end()),
              fromHex("4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"));

    for (const auto& outcome :
         {bob.complete(alice.publicKey()).value(), alice.complete(bob.publicKey()).value()}) {
        EXPECT_EQ(Bytes(outcome.key.material().begin(), outcome.key.material().end()),
                  fromHex("6a59b0bebe5368167135a183d8328453d6c2e77926a4c911653ebdffd9c725e9"));
        EXPECT_EQ(outcome.code, "782653");
    }
}

TEST(PairingHandshake, HkdfRfc5869Vectors) {
    // Test case 1.
    EXPECT_EQ(hkdfSha256(fromHex("0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b"),
                         fromHex("000102030405060708090a0b0c"), fromHex("f0f1f2f3f4f5f6f7f8f9"), 42)
                  .value(),
              fromHex("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf"
                      "34007208d5b887185865"));
    // Test case 3: empty salt and info.
    EXPECT_EQ(hkdfSha256(Bytes(22, 0x0b), {}, {}, 42).value(),
              fromHex("8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d"
                      "9d201395faa4b61a96c8"));
}

TEST(PairingHandshake, CodeKeepsLeadingZeros) {
    EXPECT_EQ(Pairing::formatCode(42), "000042");
    EXPECT_EQ(Pairing::formatCode(4'294'967'295u), "967295");
    EXPECT_EQ(Pairing::formatCode(1'000'042), "000042");
}

} // namespace
} // namespace ravnix
