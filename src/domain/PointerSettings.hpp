#pragma once
// Parameters of the pointer-acceleration curve applied to every one-finger motion step.

#include "domain/Hasher.hpp"

#include <functional>

namespace ravnix {

struct PointerSettings {
    // Final multiplier on the gain; carries the system's tracking-speed preference.
    double trackingScale = 1.0;
    // Gain at rest.
    double baseGain = 0.55;
    // Speed (points per second) at which the gain is twice baseGain.
    double pivotSpeed = 900.0;
    // Applied to speed ÷ pivotSpeed.
    double accelerationExponent = 1.1;
    // Upper bound on the gain before trackingScale is applied.
    double maximumGain = 5.0;

    static const PointerSettings standard;

    // A copy with only trackingScale replaced.
    constexpr PointerSettings withTrackingScale(double scale) const noexcept {
        PointerSettings copy = *this;
        copy.trackingScale = scale;
        return copy;
    }

    // Gain factor for a speed in points per second; a zero, negative or NaN speed counts as
    // rest. Pure; called once per motion step.
    double gain(double speed) const noexcept;

    void hashInto(Hasher& hasher) const noexcept;
    bool operator==(const PointerSettings&) const = default;
};

inline constexpr PointerSettings PointerSettings::standard{1.0, 0.55, 900.0, 1.1, 5.0};

} // namespace ravnix

template <>
struct std::hash<ravnix::PointerSettings> : ravnix::HashFromHasher<ravnix::PointerSettings> {};
