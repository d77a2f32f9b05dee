// The EVP interfaces allocate a provider context on every copy; the plain SHA256_CTX does
// not, which is what lets the receive path run without touching the heap.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "security/HmacSha256.hpp"

#include <cstring>
#include <openssl/crypto.h>
#include <openssl/sha.h>

namespace ravnix {

static_assert(sizeof(SHA256_CTX) == HmacSha256::stateSize);
static_assert(alignof(SHA256_CTX) <= 8);

namespace {

constexpr std::size_t kBlock = SHA256_CBLOCK;

SHA256_CTX load(const std::array<std::byte, HmacSha256::stateSize>& raw) noexcept {
    SHA256_CTX ctx;
    std::memcpy(&ctx, raw.data(), sizeof ctx);
    return ctx;
}

void keep(std::array<std::byte, HmacSha256::stateSize>& raw, const SHA256_CTX& ctx) noexcept {
    std::memcpy(raw.data(), &ctx, sizeof ctx);
}

} // namespace

HmacSha256::HmacSha256(std::span<const std::uint8_t> key) noexcept {
    std::uint8_t block[kBlock] = {};
    if (key.size() > kBlock) {
        SHA256(key.data(), key.size(), block); // RFC 2104: long keys are hashed first
    } else if (!key.empty()) {
        std::memcpy(block, key.data(), key.size());
    }
    std::uint8_t pad[kBlock];
    SHA256_CTX ctx;

    for (std::size_t i = 0; i < kBlock; ++i) {
        pad[i] = block[i] ^ 0x36;
    }
    SHA256_Init(&ctx);
    SHA256_Update(&ctx, pad, kBlock);
    keep(inner_, ctx);

    for (std::size_t i = 0; i < kBlock; ++i) {
        pad[i] = block[i] ^ 0x5c;
    }
    SHA256_Init(&ctx);
    SHA256_Update(&ctx, pad, kBlock);
    keep(outer_, ctx);

    OPENSSL_cleanse(block, sizeof block);
    OPENSSL_cleanse(pad, sizeof pad);
    OPENSSL_cleanse(&ctx, sizeof ctx);
}

HmacSha256::~HmacSha256() {
    OPENSSL_cleanse(inner_.data(), inner_.size());
    OPENSSL_cleanse(outer_.data(), outer_.size());
}

HmacSha256::Digest HmacSha256::compute(std::span<const std::uint8_t> first,
                                       std::span<const std::uint8_t> second) const noexcept {
    Digest innerDigest;
    SHA256_CTX ctx = load(inner_);
    SHA256_Update(&ctx, first.data(), first.size());
    if (!second.empty()) {
        SHA256_Update(&ctx, second.data(), second.size());
    }
    SHA256_Final(innerDigest.data(), &ctx);

    Digest mac;
    ctx = load(outer_);
    SHA256_Update(&ctx, innerDigest.data(), innerDigest.size());
    SHA256_Final(mac.data(), &ctx);
    OPENSSL_cleanse(&ctx, sizeof ctx);
    return mac;
}

} // namespace ravnix
