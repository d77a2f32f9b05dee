#pragma once
// One side of the pairing key agreement. Each side makes a fresh X25519 key pair, sends
// its raw public key, and derives the same 32-byte pairing key and six-digit confirmation
// code from the two public keys. The role only fixes the order of the keys in the
// transcript: the phone is always the initiator, the desktop the responder.

#include "domain/PairingKey.hpp"

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;

namespace ravnix {

namespace Pairing {

enum class Role : std::uint8_t { initiator, responder };

enum class Failure : std::uint8_t {
    badPublicKey,        // the peer's bytes are not a 32-byte X25519 public key
    keyDerivationFailed, // the derived bytes did not make a pairing key
};

// A failure reported by the crypto library itself (key generation, agreement, HKDF),
// passed on with the library's own message.
struct PrimitiveError {
    std::string operation;
    std::string message;
    bool operator==(const PrimitiveError&) const = default;
};

using Error = std::variant<Failure, PrimitiveError>;

// "badPublicKey", "keyDerivationFailed", or "<operation>: <library message>".
std::string describe(const Error& error);

// Six decimal digits with leading zeros ("%06u" of value modulo 1,000,000).
std::string formatCode(std::uint32_t value);

} // namespace Pairing

struct PairingOutcome {
    PairingKey key;
    std::string code;
    bool operator==(const PairingOutcome&) const = default;
};

// RFC 5869 extract-then-expand with SHA-256. Fails only when the library does.
std::expected<std::vector<std::uint8_t>, Pairing::Error>
hkdfSha256(std::span<const std::uint8_t> secret, std::span<const std::uint8_t> salt,
           std::span<const std::uint8_t> info, std::size_t length);

class PairingHandshake {
  public:
    using PublicKey = std::array<std::uint8_t, 32>;

    // A new random private key that lives only in this object (freed and wiped with it).
    static std::expected<PairingHandshake, Pairing::Error> make(Pairing::Role role);
    // A fixed private key, for known-answer checks and reproducible test peers.
    static std::expected<PairingHandshake, Pairing::Error>
    withPrivateKey(Pairing::Role role, std::span<const std::uint8_t, 32> privateKey);

    PairingHandshake(PairingHandshake&&) noexcept = default;
    PairingHandshake& operator=(PairingHandshake&&) noexcept = default;
    ~PairingHandshake();

    Pairing::Role role() const noexcept { return role_; }
    // Raw RFC 7748 u-coordinate, as sent in the hello or the offer.
    const PublicKey& publicKey() const noexcept { return publicKey_; }

    // Same inputs, same outcome; the handshake itself does not change.
    std::expected<PairingOutcome, Pairing::Error>
    complete(std::span<const std::uint8_t> peerPublicKey) const;

    // The raw X25519 shared secret with a peer key (exposed for known-answer checks).
    std::expected<std::array<std::uint8_t, 32>, Pairing::Error>
    sharedSecret(std::span<const std::uint8_t> peerPublicKey) const;

  private:
    struct KeyFree {
        void operator()(EVP_PKEY* key) const noexcept;
    };
    PairingHandshake(Pairing::Role role, std::unique_ptr<EVP_PKEY, KeyFree> key,
                     const PublicKey& publicKey) noexcept;

    std::unique_ptr<EVP_PKEY, KeyFree> privateKey_;
    Pairing::Role role_;
    PublicKey publicKey_{};
};

} // namespace ravnix
