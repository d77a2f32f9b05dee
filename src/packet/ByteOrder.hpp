#pragma once
// Little-endian loads and stores at arbitrary (unaligned) offsets. The wire format has
// fields at odd offsets, so everything goes through memcpy rather than pointer casts.

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace ravnix::le {

template <typename T>
requires std::is_integral_v<T> || std::is_same_v<T, float>
inline T load(const std::uint8_t* at) noexcept {
    if constexpr (std::is_same_v<T, float>) {
        return std::bit_cast<float>(load<std::uint32_t>(at));
    } else {
        T value;
        std::memcpy(&value, at, sizeof value);
        if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
            value = std::byteswap(value);
        }
        return value;
    }
}

template <typename T>
requires std::is_integral_v<T> || std::is_same_v<T, float>
inline void store(std::uint8_t* at, T value) noexcept {
    if constexpr (std::is_same_v<T, float>) {
        store<std::uint32_t>(at, std::bit_cast<std::uint32_t>(value));
    } else {
        if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
            value = std::byteswap(value);
        }
        std::memcpy(at, &value, sizeof value);
    }
}

} // namespace ravnix::le
