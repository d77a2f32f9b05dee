#pragma once
// The 32-byte key a phone and this machine agreed on during pairing. A PairingKey exists
// only for exactly 32 bytes, so holders never re-check the length. It has no hash on
// purpose: no table is keyed by a secret, and an unkeyed hash of one would only leak it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace ravnix {

class PairingKey {
  public:
    static constexpr std::size_t size = 32;

    // A key from exactly 32 bytes; any other length yields none.
    static std::optional<PairingKey> make(std::span<const std::uint8_t> material) noexcept;

    std::span<const std::uint8_t, size> material() const noexcept { return material_; }

    // Constant time, so that comparing a secret reveals nothing through timing.
    bool operator==(const PairingKey& other) const noexcept;

  private:
    explicit PairingKey(const std::array<std::uint8_t, size>& material) noexcept
        : material_(material) {}

    std::array<std::uint8_t, size> material_;
};

} // namespace ravnix
