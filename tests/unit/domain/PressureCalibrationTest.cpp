#include "domain/PressureCalibration.hpp"

#include <chrono>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <vector>

namespace ravnix {
namespace {

using Intent = CalibrationSample::Intent;
using namespace std::chrono_literals;

const DeviceID phone{UUID{{0xE6, 0x21, 0xE1, 0xF8, 0xC3, 0x6C, 0x49, 0x5A, 0x93, 0xFC, 0x0C, 0x24,
                           0x7A, 0x3E, 0x6E, 0x5F}}};
const auto calibratedAt = std::chrono::system_clock::time_point(1'700'000'000s);

// Firm presses have impulse 3, light ones 0.25.
std::vector<CalibrationSample> presses(int light, float lightRadius, int firm, float firmRadius) {
    std::vector<CalibrationSample> samples;
    for (int i = 0; i < light; ++i) {
        samples.push_back({Intent::light, lightRadius, 0.25f});
    }
    for (int i = 0; i < firm; ++i) {
        samples.push_back({Intent::firm, firmRadius, 3});
    }
    return samples;
}

std::expected<CalibrationProfile, DomainError>
derive(const std::vector<CalibrationSample>& samples) {
    return CalibrationProfile::derive(phone, samples, calibratedAt);
}

DomainError incomplete(std::int64_t needed) {
    return DomainError::CalibrationIncomplete{needed};
}
const DomainError notSeparable = DomainError::ThresholdsNotSeparable{};

TEST(CalibrationProfile, DerivesThresholdsFromTheMeans) {
    const auto profile = derive(presses(5, 10, 5, 20));
    ASSERT_TRUE(profile.has_value());
    EXPECT_EQ(profile->thresholds.clickRadius(), 15.0f);
    EXPECT_EQ(profile->thresholds.forceClickRadius(), 24.0f);
    EXPECT_EQ(profile->thresholds.impulseThreshold(), 1.5f);
    EXPECT_EQ(profile->sampleCount, 10);
    EXPECT_EQ(profile->deviceID, phone);
    EXPECT_EQ(profile->calibratedAt, calibratedAt);

    // A sixth light press counts and moves the light mean: (5·10 + 16) / 6 = 11.
    auto samples = presses(5, 10, 5, 20);
    samples.insert(samples.begin() + 2, CalibrationSample{Intent::light, 16, 99});
    const auto eleven = derive(samples);
    ASSERT_TRUE(eleven.has_value());
    EXPECT_EQ(eleven->sampleCount, 11);
    EXPECT_EQ(eleven->thresholds.clickRadius(), 15.5f);
    EXPECT_EQ(eleven->thresholds.forceClickRadius(), 23.6f);
    EXPECT_EQ(eleven->thresholds.impulseThreshold(), 1.5f); // light impulses take no part
}

// Means and factors in single precision, summed in sample order: sums in double, or a double
// factor, would give a click radius of 2.08999991 and a force-click radius of 3.94400001.
TEST(CalibrationProfile, ArithmeticIsSinglePrecisionInSampleOrder) {
    const float light[] = {0.9f, 0.2f, 1.6f, 1.6f, 1.0f};
    const float firm[] = {2.7f, 2.9f, 3.4f, 4.0f, 2.6f};
    std::vector<CalibrationSample> samples;
    for (std::size_t i = 0; i < 5; ++i) {
        samples.push_back({Intent::firm, firm[i], firm[i] * 3});
        samples.push_back({Intent::light, light[i], 0});
    }
    const auto profile = derive(samples);
    ASSERT_TRUE(profile.has_value());
    EXPECT_EQ(profile->thresholds.clickRadius(), 2.09000015f);
    EXPECT_EQ(profile->thresholds.forceClickRadius(), 3.94400024f);
    EXPECT_EQ(profile->thresholds.impulseThreshold(), 4.67999983f);
}

TEST(CalibrationProfile, TooFewSamplesReportTheLargerShortfall) {
    EXPECT_EQ(derive({}).error(), incomplete(5));
    EXPECT_EQ(derive(presses(4, 10, 9, 20)).error(), incomplete(1));
    EXPECT_EQ(derive(presses(5, 10, 2, 20)).error(), incomplete(3));
    EXPECT_EQ(derive(presses(30, 10, 0, 20)).error(), incomplete(5));
}

TEST(CalibrationProfile, FirmPressesMustBeLargerOnAverage) {
    EXPECT_EQ(derive(presses(5, 12, 5, 12)).error(), notSeparable);
    EXPECT_EQ(derive(presses(5, 12, 5, 11)).error(), notSeparable);
    EXPECT_EQ(derive(presses(5, 12, 5, NAN)).error(), notSeparable);
    // A gap of one unit in the last place: halfway rounds up onto the firm mean, and four
    // tenths beyond it rounds back down, leaving no room between the two radii.
    const float light = std::nextafter(1e8f, INFINITY);
    EXPECT_EQ(derive(presses(5, light, 5, std::nextafter(light, INFINITY))).error(), notSeparable);
    // An infinite firm radius gives infinite radii on both sides.
    EXPECT_EQ(derive(presses(5, 1, 5, INFINITY)).error(), notSeparable);
}

TEST(PressureThresholds, ClickRadiusMustBeBelowForceClickRadius) {
    EXPECT_EQ(PressureThresholds::make(2, 2, 1).error(), notSeparable);
    EXPECT_EQ(PressureThresholds::make(3, 2, 1).error(), notSeparable);
    EXPECT_EQ(PressureThresholds::make(NAN, 2, 1).error(), notSeparable);
    EXPECT_EQ(PressureThresholds::make(1, NAN, 1).error(), notSeparable);
    EXPECT_TRUE(PressureThresholds::make(1, 2, -1).has_value());
    EXPECT_TRUE(PressureThresholds::make(1, 2, NAN).has_value());
    const std::hash<PressureThresholds> hash;
    EXPECT_EQ(hash(*PressureThresholds::make(-0.0f, 1, 0)),
              hash(*PressureThresholds::make(0, 1, -0.0f)));
    EXPECT_NE(hash(*PressureThresholds::make(0, 1, 2)), hash(*PressureThresholds::make(0, 2, 1)));
}

TEST(CalibrationSample, IntentRawValuesAndHashing) {
    EXPECT_EQ(CalibrationSample::intentFromRawValue("light"), Intent::light);
    EXPECT_EQ(CalibrationSample::intentFromRawValue("firm"), Intent::firm);
    EXPECT_FALSE(CalibrationSample::intentFromRawValue("Light").has_value());

    const std::hash<CalibrationSample> hash;
    const CalibrationSample press{Intent::light, 4, 1};
    EXPECT_NE(hash(press), hash(CalibrationSample{Intent::firm, 4, 1}));
    EXPECT_NE(hash(press), hash(CalibrationSample{Intent::light, 1, 4}));
}

} // namespace
} // namespace ravnix
