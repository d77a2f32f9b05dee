#include "security/PairingHandshake.hpp"

#include "packet/ByteOrder.hpp"
#include "transport/CFormat.hpp"

#include <cstring>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

namespace ravnix {
namespace {

constexpr char kSalt[] = "Ravnix-pairing-v1";
constexpr char kSessionLabel[] = "Ravnix-session-v1";
constexpr char kCodeLabel[] = "Ravnix-code-v1";

std::span<const std::uint8_t> label(const char* text, std::size_t withTerminator) {
    return {reinterpret_cast<const std::uint8_t*>(text), withTerminator - 1};
}

Pairing::PrimitiveError libraryError(const char* operation) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    char message[256] = "unknown error";
    if (code != 0) {
        ERR_error_string_n(code, message, sizeof message);
    }
    return {operation, message};
}

struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const noexcept { EVP_PKEY_CTX_free(ctx); }
};
struct KdfFree {
    void operator()(EVP_KDF* kdf) const noexcept { EVP_KDF_free(kdf); }
};
struct KdfCtxFree {
    void operator()(EVP_KDF_CTX* ctx) const noexcept { EVP_KDF_CTX_free(ctx); }
};

// Wipes a stack buffer however the scope is left.
template <std::size_t N> struct Wiped {
    std::array<std::uint8_t, N> bytes{};
    ~Wiped() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

} // namespace

namespace Pairing {

std::string describe(const Error& error) {
    if (const auto* failure = std::get_if<Failure>(&error)) {
        return *failure == Failure::badPublicKey ? "badPublicKey" : "keyDerivationFailed";
    }
    const auto& primitive = std::get<PrimitiveError>(error);
    return primitive.operation + ": " + primitive.message;
}

std::string formatCode(std::uint32_t value) {
    return formatC("%06u", value % 1'000'000u);
}

} // namespace Pairing

std::expected<std::vector<std::uint8_t>, Pairing::Error>
hkdfSha256(std::span<const std::uint8_t> secret, std::span<const std::uint8_t> salt,
           std::span<const std::uint8_t> info, std::size_t length) {
    std::unique_ptr<EVP_KDF, KdfFree> kdf(EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_HKDF, nullptr));
    if (!kdf) {
        return std::unexpected(libraryError("EVP_KDF_fetch(HKDF)"));
    }
    std::unique_ptr<EVP_KDF_CTX, KdfCtxFree> ctx(EVP_KDF_CTX_new(kdf.get()));
    if (!ctx) {
        return std::unexpected(libraryError("EVP_KDF_CTX_new"));
    }
    char digest[] = "SHA256";
    // OpenSSL's parameter API takes non-const pointers but only reads through them.
    auto* key = const_cast<std::uint8_t*>(secret.data());
    auto* saltBytes = const_cast<std::uint8_t*>(salt.data());
    auto* infoBytes = const_cast<std::uint8_t*>(info.data());
    // Empty salt and info are left out: the library refuses zero-length octet parameters,
    // and HKDF treats a missing salt as the empty one.
    OSSL_PARAM params[5];
    std::size_t n = 0;
    params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
    params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, key, secret.size());
    if (!salt.empty()) {
        params[n++] =
            OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, saltBytes, salt.size());
    }
    if (!info.empty()) {
        params[n++] =
            OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, infoBytes, info.size());
    }
    params[n] = OSSL_PARAM_construct_end();
    std::vector<std::uint8_t> out(length);
    if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) {
        return std::unexpected(libraryError("EVP_KDF_derive(HKDF)"));
    }
    return out;
}

void PairingHandshake::KeyFree::operator()(EVP_PKEY* key) const noexcept {
    EVP_PKEY_free(key); // the library clears the private scalar before freeing it
}

PairingHandshake::PairingHandshake(Pairing::Role role, std::unique_ptr<EVP_PKEY, KeyFree> key,
                                   const PublicKey& publicKey) noexcept
    : privateKey_(std::move(key)), role_(role), publicKey_(publicKey) {}

PairingHandshake::~PairingHandshake() = default;

namespace {

std::expected<PairingHandshake::PublicKey, Pairing::Error> rawPublicKey(EVP_PKEY* key) {
    PairingHandshake::PublicKey raw{};
    std::size_t length = raw.size();
    if (EVP_PKEY_get_raw_public_key(key, raw.data(), &length) != 1 || length != raw.size()) {
        return std::unexpected(libraryError("EVP_PKEY_get_raw_public_key"));
    }
    return raw;
}

} // namespace

std::expected<PairingHandshake, Pairing::Error> PairingHandshake::make(Pairing::Role role) {
    std::unique_ptr<EVP_PKEY, KeyFree> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519"));
    if (!key) {
        return std::unexpected(libraryError("EVP_PKEY_Q_keygen(X25519)"));
    }
    auto raw = rawPublicKey(key.get());
    if (!raw) {
        return std::unexpected(raw.error());
    }
    return PairingHandshake(role, std::move(key), *raw);
}

std::expected<PairingHandshake, Pairing::Error>
PairingHandshake::withPrivateKey(Pairing::Role role, std::span<const std::uint8_t, 32> privateKey) {
    std::unique_ptr<EVP_PKEY, KeyFree> key(EVP_PKEY_new_raw_private_key(
        EVP_PKEY_X25519, nullptr, privateKey.data(), privateKey.size()));
    if (!key) {
        return std::unexpected(libraryError("EVP_PKEY_new_raw_private_key(X25519)"));
    }
    auto raw = rawPublicKey(key.get());
    if (!raw) {
        return std::unexpected(raw.error());
    }
    return PairingHandshake(role, std::move(key), *raw);
}

std::expected<std::array<std::uint8_t, 32>, Pairing::Error>
PairingHandshake::sharedSecret(std::span<const std::uint8_t> peerPublicKey) const {
    if (peerPublicKey.size() != 32) {
        return std::unexpected(Pairing::Failure::badPublicKey);
    }
    std::unique_ptr<EVP_PKEY, KeyFree> peer(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_X25519, nullptr, peerPublicKey.data(), peerPublicKey.size()));
    if (!peer) {
        ERR_clear_error();
        return std::unexpected(Pairing::Failure::badPublicKey);
    }
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new(privateKey_.get(), nullptr));
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1) {
        return std::unexpected(libraryError("EVP_PKEY_derive_init"));
    }
    if (EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1) {
        return std::unexpected(libraryError("EVP_PKEY_derive_set_peer"));
    }
    std::array<std::uint8_t, 32> secret{};
    std::size_t length = secret.size();
    // Fails for a low-order peer point (all-zero result); that error is the library's.
    if (EVP_PKEY_derive(ctx.get(), secret.data(), &length) != 1 || length != secret.size()) {
        OPENSSL_cleanse(secret.data(), secret.size());
        return std::unexpected(libraryError("EVP_PKEY_derive(X25519)"));
    }
    return secret;
}

std::expected<PairingOutcome, Pairing::Error>
PairingHandshake::complete(std::span<const std::uint8_t> peerPublicKey) const {
    Wiped<32> secret;
    if (auto agreed = sharedSecret(peerPublicKey)) {
        secret.bytes = *agreed;
        OPENSSL_cleanse(agreed->data(), agreed->size());
    } else {
        return std::unexpected(agreed.error());
    }

    // The initiator's key first, so both sides hash the same 64 bytes.
    std::array<std::uint8_t, 64> transcript{};
    const bool initiator = role_ == Pairing::Role::initiator;
    std::memcpy(transcript.data() + (initiator ? 0 : 32), publicKey_.data(), 32);
    std::memcpy(transcript.data() + (initiator ? 32 : 0), peerPublicKey.data(), 32);

    const auto salt = label(kSalt, sizeof kSalt);
    std::vector<std::uint8_t> info;
    info.reserve(sizeof kSessionLabel - 1 + transcript.size());

    const auto sessionLabel = label(kSessionLabel, sizeof kSessionLabel);
    info.assign(sessionLabel.begin(), sessionLabel.end());
    info.insert(info.end(), transcript.begin(), transcript.end());
    auto keyBytes = hkdfSha256(secret.bytes, salt, info, 32);
    if (!keyBytes) {
        return std::unexpected(keyBytes.error());
    }
    auto key = PairingKey::make(*keyBytes);
    OPENSSL_cleanse(keyBytes->data(), keyBytes->size());
    if (!key) {
        return std::unexpected(Pairing::Failure::keyDerivationFailed);
    }

    const auto codeLabel = label(kCodeLabel, sizeof kCodeLabel);
    info.assign(codeLabel.begin(), codeLabel.end());
    info.insert(info.end(), transcript.begin(), transcript.end());
    auto codeBytes = hkdfSha256(secret.bytes, salt, info, 8);
    if (!codeBytes) {
        return std::unexpected(codeBytes.error());
    }
    return PairingOutcome{std::move(*key),
                          Pairing::formatCode(le::load<std::uint32_t>(codeBytes->data()))};
}

} // namespace ravnix
