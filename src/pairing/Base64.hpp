#pragma once
// Standard Base64 (RFC 4648 alphabet with "+" and "/", "=" padding, no line breaks), as the
// pairing messages carry byte strings.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ravnix {

struct Base64 {
    Base64() = delete;

    static std::string encode(std::span<const std::uint8_t> bytes);

    // Accepts only the canonical form, the one encode() writes: length a multiple of four,
    // alphabet characters only (no whitespace or line breaks), at most two "=" and only at
    // the end, and zero bits in the unused low bits of the last character. Anything else
    // gives nullopt, so every byte string has exactly one accepted text.
    static std::optional<std::vector<std::uint8_t>> decode(std::string_view text);
};

} // namespace ravnix
