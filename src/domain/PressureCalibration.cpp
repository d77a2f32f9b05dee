#include "domain/PressureCalibration.hpp"

#include <algorithm>

namespace ravnix {
namespace {

struct IntentSums {
    std::int64_t count = 0;
    float radius = 0;
    float impulse = 0;
};

} // namespace

std::expected<PressureThresholds, DomainError>
PressureThresholds::make(float clickRadius, float forceClickRadius,
                         float impulseThreshold) noexcept {
    if (!(clickRadius < forceClickRadius)) {
        return std::unexpected(DomainError::ThresholdsNotSeparable{});
    }
    return PressureThresholds(clickRadius, forceClickRadius, impulseThreshold);
}

std::string_view rawValue(CalibrationSample::Intent intent) noexcept {
    switch (intent) {
    case CalibrationSample::Intent::light:
        return "light";
    case CalibrationSample::Intent::firm:
        return "firm";
    }
    return {};
}

std::optional<CalibrationSample::Intent>
CalibrationSample::intentFromRawValue(std::string_view text) noexcept {
    for (const Intent intent : allIntents) {
        if (rawValue(intent) == text) {
            return intent;
        }
    }
    return std::nullopt;
}

void CalibrationSample::hashInto(Hasher& hasher) const noexcept {
    hasher.combine(rawValue(intent));
    hasher.combine(peakRadius);
    hasher.combine(peakImpulse);
}

std::expected<CalibrationProfile, DomainError>
CalibrationProfile::derive(DeviceID deviceID, std::span<const CalibrationSample> samples,
                           Date calibratedAt) {
    // Sums in sample order, in float, so that results do not depend on the platform.
    IntentSums light;
    IntentSums firm;
    for (const CalibrationSample& sample : samples) {
        IntentSums& sums = sample.intent == CalibrationSample::Intent::firm ? firm : light;
        ++sums.count;
        sums.radius += sample.peakRadius;
        sums.impulse += sample.peakImpulse;
    }

    const std::int64_t needed =
        std::max(samplesPerIntent - light.count, samplesPerIntent - firm.count);
    if (needed > 0) {
        return std::unexpected(DomainError::CalibrationIncomplete{needed});
    }

    const float lightMean = light.radius / static_cast<float>(light.count);
    const float firmMean = firm.radius / static_cast<float>(firm.count);
    // Negated so that a NaN mean fails as well.
    if (!(firmMean > lightMean)) {
        return std::unexpected(DomainError::ThresholdsNotSeparable{});
    }
    const float gap = firmMean - lightMean;
    const float clickRadius = lightMean + gap * 0.5f;
    const float forceClickRadius = firmMean + gap * 0.4f;
    const float impulseThreshold = firm.impulse / static_cast<float>(firm.count) * 0.5f;

    // Rounding or an overflowing gap can close the distance between the two radii.
    auto thresholds = PressureThresholds::make(clickRadius, forceClickRadius, impulseThreshold);
    if (!thresholds) {
        return std::unexpected(thresholds.error());
    }
    return CalibrationProfile{deviceID, *thresholds, static_cast<std::int64_t>(samples.size()),
                              calibratedAt};
}

} // namespace ravnix
