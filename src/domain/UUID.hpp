#pragma once
// A 128-bit universally unique identifier. Text is the canonical 36-character form with
// upper-case hexadecimal digits in groups of 8-4-4-4-12.

#include "domain/Hasher.hpp"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ravnix {

struct UUID {
    // Network order: bytes[0] is the first two digits of the text.
    std::array<std::uint8_t, 16> bytes{};

    // A version-4 (random) identifier from the system's cryptographic random source;
    // absent only when that source fails.
    static std::optional<UUID> random() noexcept;
    // The canonical form with digits in either case; anything else (braces, missing or
    // misplaced hyphens, other lengths) yields none.
    static std::optional<UUID> parse(std::string_view text) noexcept;

    std::string uuidString() const;

    void hashInto(Hasher& hasher) const noexcept { hasher.combine(bytes); }
    bool operator==(const UUID&) const = default;
};

} // namespace ravnix

template <> struct std::hash<ravnix::UUID> : ravnix::HashFromHasher<ravnix::UUID> {};
