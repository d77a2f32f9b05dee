#pragma once
// Failures of the domain module. Each case keeps the values it was raised with; two errors
// are equal when case and values are equal. No message text.

#include "domain/DeviceID.hpp"

#include <cstdint>
#include <type_traits>
#include <variant>

namespace ravnix {

struct DomainError {
    struct DeviceNotFound {
        DeviceID device;
        bool operator==(const DeviceNotFound&) const = default;
    };
    struct DeviceAlreadyPaired {
        DeviceID device;
        bool operator==(const DeviceAlreadyPaired&) const = default;
    };
    struct CalibrationIncomplete {
        std::int64_t samplesNeeded;
        bool operator==(const CalibrationIncomplete&) const = default;
    };
    struct DisplayNameEmpty {
        bool operator==(const DisplayNameEmpty&) const = default;
    };
    struct InvalidPairingKey {
        bool operator==(const InvalidPairingKey&) const = default;
    };
    struct ThresholdsNotSeparable {
        bool operator==(const ThresholdsNotSeparable&) const = default;
    };

    using Case = std::variant<DeviceNotFound, DeviceAlreadyPaired, CalibrationIncomplete,
                              DisplayNameEmpty, InvalidPairingKey, ThresholdsNotSeparable>;
    Case value;

    template <typename T>
    requires std::is_constructible_v<Case, T>
    constexpr DomainError(T c) : value(c) {} // NOLINT(google-explicit-constructor)

    template <typename T> constexpr bool is() const noexcept {
        return std::holds_alternative<T>(value);
    }
    template <typename T> constexpr const T* as() const noexcept { return std::get_if<T>(&value); }

    bool operator==(const DomainError&) const = default;
};

} // namespace ravnix
