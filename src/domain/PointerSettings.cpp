#include "domain/PointerSettings.hpp"

#include <cmath>

namespace ravnix {

double PointerSettings::gain(double speed) const noexcept {
    const double s = speed > 0 ? speed : 0.0;
    const double raw = baseGain * (1.0 + std::pow(s / pivotSpeed, accelerationExponent));
    // Written so that a NaN (a zero pivotSpeed at rest gives 0 ÷ 0) falls to the cap: a NaN
    // gain would send the pointer to a NaN position.
    const double capped = raw <= maximumGain ? raw : maximumGain;
    return trackingScale * capped;
}

void PointerSettings::hashInto(Hasher& hasher) const noexcept {
    hasher.combine(trackingScale);
    hasher.combine(baseGain);
    hasher.combine(pivotSpeed);
    hasher.combine(accelerationExponent);
    hasher.combine(maximumGain);
}

} // namespace ravnix
