#pragma once
// What the command lines of ravnix and ravnix-phone share: the complaint that refuses a start,
// the two requests that answer before anything else is looked at, the secret-store choice,
// and numbers read the same way whatever the process's locale says.

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

namespace ravnix {

// One line saying what is wrong; the program prints it before its usage and exits with 2.
struct UsageError {
    std::string text;

    bool operator==(const UsageError&) const = default;
};

enum class ProgramRequest { run, version, help };

// --secret-store=K: where the pairings are kept.
enum class SecretStoreChoice { automatic, secretService, file };

template <typename Value, std::size_t count>
using NameTable = std::array<std::pair<std::string_view, Value>, count>;

inline constexpr NameTable<SecretStoreChoice, 3> secretStoreNames{{
    {"auto", SecretStoreChoice::automatic},
    {"secret-service", SecretStoreChoice::secretService},
    {"file", SecretStoreChoice::file},
}};

// The value spelled `text` in `table`, exactly.
template <typename Value, std::size_t count>
std::optional<Value> named(const NameTable<Value, count>& table, std::string_view text) {
    for (const auto& [name, value] : table) {
        if (name == text) {
            return value;
        }
    }
    return std::nullopt;
}

// --version and --help answer whatever else is given, a bad option included.
inline std::optional<ProgramRequest> answeringRequest(std::span<const std::string_view> arguments) {
    for (const std::string_view argument : arguments) {
        if (argument == "--version") {
            return ProgramRequest::version;
        }
        if (argument == "--help" || argument == "-h") {
            return ProgramRequest::help;
        }
    }
    return std::nullopt;
}

// All of `text` as a number, with a full stop as the decimal point; none for an empty text,
// anything after the number, an overflow, or a floating-point value that is not finite.
template <typename Number> std::optional<Number> wholeNumber(std::string_view text) {
    Number value{};
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    if constexpr (std::is_floating_point_v<Number>) {
        if (!std::isfinite(value)) {
            return std::nullopt;
        }
    }
    return value;
}

} // namespace ravnix
