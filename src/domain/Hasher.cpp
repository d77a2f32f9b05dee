#include "domain/Hasher.hpp"

namespace ravnix {
namespace {

// The splitmix64 finalizer: every input bit reaches every output bit.
std::uint64_t avalanche(std::uint64_t x) noexcept {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    return x;
}

} // namespace

void Hasher::mix(std::uint64_t value) noexcept {
    state_ = avalanche(state_ + 0x9E3779B97F4A7C15ull + avalanche(value));
}

void Hasher::combine(std::span<const std::uint8_t> bytes) noexcept {
    combine(bytes.size());
    std::uint64_t word = 0;
    std::size_t filled = 0;
    for (const std::uint8_t byte : bytes) {
        word |= static_cast<std::uint64_t>(byte) << (8 * filled);
        if (++filled == 8) {
            mix(word);
            word = 0;
            filled = 0;
        }
    }
    if (filled != 0) {
        mix(word);
    }
}

void Hasher::combine(std::string_view text) noexcept {
    combine(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

} // namespace ravnix
