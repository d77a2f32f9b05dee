#include "security/PacketAuthenticator.hpp"

#include "packet/ByteOrder.hpp"

#include <openssl/crypto.h>

namespace ravnix {

std::uint64_t PacketAuthenticator::tag(std::span<const std::uint8_t> body) const noexcept {
    std::uint8_t id[4];
    le::store<std::uint32_t>(id, pairingID_);
    const HmacSha256::Digest mac = key_.compute(body, id);
    return le::load<std::uint64_t>(mac.data());
}

bool PacketAuthenticator::isValid(std::uint64_t expected,
                                  std::span<const std::uint8_t> body) const noexcept {
    std::uint8_t mine[8];
    std::uint8_t theirs[8];
    le::store<std::uint64_t>(mine, tag(body));
    le::store<std::uint64_t>(theirs, expected);
    return CRYPTO_memcmp(mine, theirs, sizeof mine) == 0;
}

} // namespace ravnix
