#include "pairing/Base64.hpp"

#include <array>

namespace ravnix {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// -1 for every byte outside the alphabet, including "=".
constexpr std::array<std::int8_t, 256> makeReverse() {
    std::array<std::int8_t, 256> table{};
    table.fill(-1);
    for (int i = 0; i < 64; ++i) {
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    }
    return table;
}

constexpr std::array<std::int8_t, 256> kReverse = makeReverse();

} // namespace

std::string Base64::encode(std::span<const std::uint8_t> bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) |
                                (std::uint32_t{bytes[i + 1]} << 8) | std::uint32_t{bytes[i + 2]};
        text.push_back(kAlphabet[(v >> 18) & 63]);
        text.push_back(kAlphabet[(v >> 12) & 63]);
        text.push_back(kAlphabet[(v >> 6) & 63]);
        text.push_back(kAlphabet[v & 63]);
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t v = std::uint32_t{bytes[i]} << 16;
        if (rest == 2) {
            v |= std::uint32_t{bytes[i + 1]} << 8;
        }
        text.push_back(kAlphabet[(v >> 18) & 63]);
        text.push_back(kAlphabet[(v >> 12) & 63]);
        text.push_back(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
        text.push_back('=');
    }
    return text;
}

std::optional<std::vector<std::uint8_t>> Base64::decode(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') {
        padding = text[text.size() - 2] == '=' ? 2 : 1;
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const std::size_t digits = last ? 4 - padding : 4;
        std::uint32_t v = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            std::int8_t d = 0;
            if (j < digits) {
                // "=" anywhere but the counted tail lands here and is refused.
                d = kReverse[static_cast<unsigned char>(text[i + j])];
                if (d < 0) {
                    return std::nullopt;
                }
            }
            v = (v << 6) | static_cast<std::uint32_t>(d);
        }
        // Bits that no output byte takes must be zero; otherwise several texts would decode
        // to the same bytes.
        if ((digits == 2 && (v & 0xFFFF) != 0) || (digits == 3 && (v & 0xFF) != 0)) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(v >> 16));
        if (digits >= 3) {
            bytes.push_back(static_cast<std::uint8_t>(v >> 8));
        }
        if (digits == 4) {
            bytes.push_back(static_cast<std::uint8_t>(v));
        }
    }
    return bytes;
}

} // namespace ravnix
