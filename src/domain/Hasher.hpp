#pragma once
// Order-sensitive hashing for the domain's value types: each type feeds its fields into a
// Hasher in declaration order, and std::hash is derived from that. Floating-point zeros of
// either sign are fed as +0, because the types compare them as equal.

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>

namespace ravnix {

class Hasher {
  public:
    template <std::integral T> void combine(T value) noexcept {
        mix(static_cast<std::uint64_t>(value));
    }
    template <typename E>
    requires std::is_enum_v<E>
    void combine(E value) noexcept { combine(static_cast<std::underlying_type_t<E>>(value)); }
    void combine(double value) noexcept {
        mix(std::bit_cast<std::uint64_t>(value == 0.0 ? 0.0 : value));
    }
    void combine(float value) noexcept {
        mix(std::bit_cast<std::uint32_t>(value == 0.0f ? 0.0f : value));
    }
    // Length first, so that adjacent byte strings cannot trade bytes and hash alike.
    void combine(std::span<const std::uint8_t> bytes) noexcept;
    void combine(std::string_view text) noexcept;

    std::size_t finalize() const noexcept { return static_cast<std::size_t>(state_); }

  private:
    void mix(std::uint64_t value) noexcept;

    std::uint64_t state_ = 0x243F6A8885A308D3ull;
};

// Base of the std::hash specializations: every hashed domain type has a member
// `void hashInto(Hasher&) const`.
template <typename T> struct HashFromHasher {
    std::size_t operator()(const T& value) const noexcept {
        Hasher hasher;
        value.hashInto(hasher);
        return hasher.finalize();
    }
};

} // namespace ravnix
