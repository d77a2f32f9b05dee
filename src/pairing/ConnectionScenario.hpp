#pragma once
// What the phone knows about its link to the desktop, condensed into one of seven situations,
// each with a status line for the user and at most one suggested action. The texts are the
// phone's, in Turkish; the desktop never evaluates them.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace ravnix {

struct ConnectionScenario {
    // The touch link over the local network, or the direct peer-to-peer route.
    enum class Route : std::uint8_t { wifi, airdrop };
    static constexpr std::array<Route, 2> allRoutes{Route::wifi, Route::airdrop};

    // "wifi" or "airdrop", matched exactly; any other text yields none.
    static std::optional<Route> routeFromRawValue(std::string_view text) noexcept;

    enum class Action : std::uint8_t { openSettings, pair, switchToAirdrop, switchToWiFi };

    struct FoundNotPaired {
        std::string macName;
        bool operator==(const FoundNotPaired&) const = default;
    };
    struct Connected {
        std::string macName;
        Route route = Route::wifi;
        bool operator==(const Connected&) const = default;
    };
    struct PairedNoAnswer {
        std::string macName;
        Route route = Route::wifi;
        bool operator==(const PairedNoAnswer&) const = default;
    };
    struct PairedNotFound {
        std::string macName;
        bool operator==(const PairedNotFound&) const = default;
    };
    struct UnpairedByMac {
        std::string macName;
        bool operator==(const UnpairedByMac&) const = default;
    };
    struct WifiOff {
        bool operator==(const WifiOff&) const = default;
    };
    struct Searching {
        bool operator==(const Searching&) const = default;
    };

    using Case = std::variant<FoundNotPaired, Connected, PairedNoAnswer, PairedNotFound,
                              UnpairedByMac, WifiOff, Searching>;
    Case value;

    template <typename T>
    requires std::is_constructible_v<Case, T> ConnectionScenario(T c)
        : value(std::move(c)) {} // NOLINT(google-explicit-constructor)

    template <typename T> bool is() const noexcept { return std::holds_alternative<T>(value); }
    template <typename T> const T* as() const noexcept { return std::get_if<T>(&value); }

    // Everything resolve looks at. Named fields rather than positional flags, so four booleans
    // cannot be swapped silently at a call site.
    struct Facts {
        bool wifiEnabled = false;
        std::optional<std::string> pairedMacName;
        bool macVisible = false;
        std::optional<std::string> discoveredMacName;
        bool macResponding = false;
        bool unpairedByMac = false;
        Route route = Route::wifi;
    };

    // The first matching situation, most fundamental cause first: without Wi-Fi neither route
    // works, and a desktop that dropped the pairing will not answer however visible it is.
    static ConnectionScenario resolve(const Facts& facts);

    // The status line for the user.
    std::string message() const;
    // The one thing worth suggesting, if any.
    std::optional<Action> action() const noexcept;

    bool operator==(const ConnectionScenario&) const = default;
};

// "wifi" or "airdrop".
std::string_view rawValue(ConnectionScenario::Route route) noexcept;

} // namespace ravnix
