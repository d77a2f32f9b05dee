#pragma once
// Calibration of a phone's touch-pressure cues: light and firm presses, each reduced to its
// peak contact radius and peak impulse, give the thresholds for click, force click and a
// firm impulse. Units are those the phone reports.

#include "domain/DeviceID.hpp"
#include "domain/DomainError.hpp"
#include "domain/Hasher.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

namespace ravnix {

class PressureThresholds {
  public:
    // Fails with thresholdsNotSeparable unless clickRadius < forceClickRadius (a NaN fails
    // too); impulseThreshold may be anything.
    static std::expected<PressureThresholds, DomainError>
    make(float clickRadius, float forceClickRadius, float impulseThreshold) noexcept;

    float clickRadius() const noexcept { return clickRadius_; }
    // Always greater than clickRadius.
    float forceClickRadius() const noexcept { return forceClickRadius_; }
    float impulseThreshold() const noexcept { return impulseThreshold_; }

    void hashInto(Hasher& hasher) const noexcept {
        hasher.combine(clickRadius_);
        hasher.combine(forceClickRadius_);
        hasher.combine(impulseThreshold_);
    }
    bool operator==(const PressureThresholds&) const = default;

  private:
    PressureThresholds(float clickRadius, float forceClickRadius, float impulseThreshold) noexcept
        : clickRadius_(clickRadius), forceClickRadius_(forceClickRadius),
          impulseThreshold_(impulseThreshold) {}

    float clickRadius_;
    float forceClickRadius_;
    float impulseThreshold_;
};

// One recorded press.
struct CalibrationSample {
    enum class Intent : std::uint8_t { light, firm };
    static constexpr std::array<Intent, 2> allIntents{Intent::light, Intent::firm};

    // "light" or "firm", matched exactly; any other text yields none.
    static std::optional<Intent> intentFromRawValue(std::string_view text) noexcept;

    Intent intent = Intent::light;
    float peakRadius = 0;
    float peakImpulse = 0;

    void hashInto(Hasher& hasher) const noexcept;
    bool operator==(const CalibrationSample&) const = default;
};

std::string_view rawValue(CalibrationSample::Intent intent) noexcept;

struct CalibrationProfile {
    using Date = std::chrono::system_clock::time_point;

    // The minimum number of samples of each intent.
    static constexpr std::int64_t samplesPerIntent = 5;

    DeviceID deviceID;
    PressureThresholds thresholds;
    // How many samples the profile was derived from.
    std::int64_t sampleCount = 0;
    Date calibratedAt;

    // Derives the thresholds in 32-bit arithmetic: the click radius halfway between the light
    // and firm mean radii, the force-click radius four tenths of their gap beyond the firm
    // mean, the impulse threshold half the firm mean impulse. Fails with
    // calibrationIncomplete (the larger shortfall of either intent) or thresholdsNotSeparable.
    static std::expected<CalibrationProfile, DomainError>
    derive(DeviceID deviceID, std::span<const CalibrationSample> samples, Date calibratedAt);

    void hashInto(Hasher& hasher) const noexcept {
        deviceID.hashInto(hasher);
        thresholds.hashInto(hasher);
        hasher.combine(sampleCount);
        hasher.combine(calibratedAt.time_since_epoch().count());
    }
    bool operator==(const CalibrationProfile&) const = default;
};

} // namespace ravnix

template <>
struct std::hash<ravnix::PressureThresholds> : ravnix::HashFromHasher<ravnix::PressureThresholds> {
};
template <>
struct std::hash<ravnix::CalibrationSample> : ravnix::HashFromHasher<ravnix::CalibrationSample> {};
template <>
struct std::hash<ravnix::CalibrationProfile> : ravnix::HashFromHasher<ravnix::CalibrationProfile> {
};
