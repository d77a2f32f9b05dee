#pragma once
// The 64-bit tag that ties a touch packet to one pairing: HMAC-SHA-256 keyed with the
// pairing's 32-byte key, over the body and then the pairing ID (4 bytes little-endian),
// first 8 bytes of the MAC read little-endian. Feeding the ID into the MAC means a packet
// cannot be moved to another pairing ID even if two pairings shared a key.

#include "security/HmacSha256.hpp"

#include <cstdint>
#include <span>

namespace ravnix {

class PacketAuthenticator {
  public:
    // The model passes exactly 32 bytes of stored key material.
    PacketAuthenticator(std::span<const std::uint8_t> keyMaterial, std::uint32_t pairingID) noexcept
        : key_(keyMaterial), pairingID_(pairingID) {}

    std::uint32_t pairingID() const noexcept { return pairingID_; }

    // Reads the body in place; allocation-free and safe on several threads at once.
    std::uint64_t tag(std::span<const std::uint8_t> body) const noexcept;
    // Compares in constant time.
    bool isValid(std::uint64_t tag, std::span<const std::uint8_t> body) const noexcept;

  private:
    HmacSha256 key_;
    std::uint32_t pairingID_;
};

} // namespace ravnix
