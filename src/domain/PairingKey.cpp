#include "domain/PairingKey.hpp"

#include <algorithm>
#include <openssl/crypto.h>

namespace ravnix {

std::optional<PairingKey> PairingKey::make(std::span<const std::uint8_t> material) noexcept {
    if (material.size() != size) {
        return std::nullopt;
    }
    std::array<std::uint8_t, size> bytes;
    std::ranges::copy(material, bytes.begin());
    return PairingKey(bytes);
}

bool PairingKey::operator==(const PairingKey& other) const noexcept {
    return CRYPTO_memcmp(material_.data(), other.material_.data(), size) == 0;
}

} // namespace ravnix
