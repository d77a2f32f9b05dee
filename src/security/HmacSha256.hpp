#pragma once
// HMAC-SHA-256 with the key's inner and outer pad blocks hashed once, up front. A MAC then
// costs two struct copies and the message's compression rounds: no key schedule, no heap,
// and the prepared state is never written after construction, so any number of threads
// may compute with one instance at once.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace ravnix {

class HmacSha256 {
  public:
    using Digest = std::array<std::uint8_t, 32>;

    explicit HmacSha256(std::span<const std::uint8_t> key) noexcept;
    HmacSha256(const HmacSha256&) noexcept = default;
    HmacSha256& operator=(const HmacSha256&) noexcept = default;
    ~HmacSha256();

    // MAC of `first` followed by `second` (the second part may be empty).
    Digest compute(std::span<const std::uint8_t> first,
                   std::span<const std::uint8_t> second = {}) const noexcept;

    static constexpr std::size_t stateSize = 112; // sizeof(SHA256_CTX)

  private:
    alignas(8) std::array<std::byte, stateSize> inner_{};
    alignas(8) std::array<std::byte, stateSize> outer_{};
};

} // namespace ravnix
