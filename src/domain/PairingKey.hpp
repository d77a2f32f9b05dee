#pragma once
// The 32-byte key a phone and this machine agreed on during pairing. A PairingKey exists
// only for exactly 32 bytes, so holders never re-check the length.

#include "domain/Hasher.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

namespace ravnix {

class PairingKey {
  public:
    static constexpr std::size_t size = 32;

    // A key from exactly 32 bytes; any other length yields none.
    static std::optional<PairingKey> make(std::span<const std::uint8_t> material) noexcept;

    std::span<const std::uint8_t, size> material() const noexcept { return material_; }

    void hashInto(Hasher& hasher) const noexcept { hasher.combine(std::span(material_)); }
    // Constant time, so that comparing a secret reveals nothing through timing.
    bool operator==(const PairingKey& other) const noexcept;

  private:
    explicit PairingKey(const std::array<std::uint8_t, size>& material) noexcept
        : material_(material) {}

    std::array<std::uint8_t, size> material_;
};

} // namespace ravnix

template <> struct std::hash<ravnix::PairingKey> : ravnix::HashFromHasher<ravnix::PairingKey> {};
