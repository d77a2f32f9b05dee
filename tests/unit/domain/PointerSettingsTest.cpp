#include "domain/PointerSettings.hpp"

#include <cmath>
#include <functional>
#include <gtest/gtest.h>

namespace ravnix {
namespace {

TEST(PointerSettings, GainAtRestAndAtThePivot) {
    const auto standard = PointerSettings::standard;
    EXPECT_EQ(standard.gain(0), 0.55);
    EXPECT_EQ(standard.gain(-50), 0.55);
    EXPECT_EQ(standard.gain(NAN), 0.55);
    EXPECT_EQ(standard.gain(900), 1.1);
    EXPECT_EQ(standard.withTrackingScale(2.0).gain(-50), 1.1);
    // Between rest and the pivot the curve follows baseGain × (1 + (s/pivot)^exponent).
    EXPECT_NEAR(standard.gain(300), 0.714, 5e-4);
}

TEST(PointerSettings, CapAppliesBeforeTrackingScale) {
    EXPECT_EQ(PointerSettings::standard.gain(1e9), 5.0);
    EXPECT_EQ(PointerSettings::standard.gain(INFINITY), 5.0);
    EXPECT_EQ(PointerSettings::standard.withTrackingScale(3.0).gain(1e9), 15.0);
    // Just below and above where the curve meets the cap (about 6,021 pt/s).
    EXPECT_LT(PointerSettings::standard.gain(6000), 5.0);
    EXPECT_EQ(PointerSettings::standard.gain(6100), 5.0);
}

TEST(PointerSettings, GainNeverDecreasesWithSpeed) {
    for (const double scale : {0.5, 1.0, 3.0}) {
        const auto settings = PointerSettings::standard.withTrackingScale(scale);
        double previous = settings.gain(0);
        for (double speed = 1; speed <= 10'000; speed += 7) {
            const double current = settings.gain(speed);
            ASSERT_GE(current, previous) << "scale " << scale << " speed " << speed;
            previous = current;
        }
        EXPECT_EQ(previous, 5.0 * scale);
    }
}

TEST(PointerSettings, ZeroPivotGivesTheCapNotNaN) {
    const PointerSettings settings{2.0, 0.55, 0.0, 1.1, 5.0};
    EXPECT_EQ(settings.gain(0), 10.0);
    EXPECT_EQ(settings.gain(10), 10.0);
}

TEST(PointerSettings, WithTrackingScaleEqualityAndHashing) {
    const auto scaled = PointerSettings::standard.withTrackingScale(2.0);
    EXPECT_EQ(scaled, (PointerSettings{2.0, 0.55, 900.0, 1.1, 5.0}));
    EXPECT_NE(scaled, PointerSettings::standard);

    const std::hash<PointerSettings> hash;
    const PointerSettings a{1.0, 0.5, 800.0, 1.2, 4.0};
    const PointerSettings b{1.0, 0.5, 800.0, 1.2, 4.0};
    EXPECT_EQ(hash(a), hash(b));
    EXPECT_NE(hash(a), hash(PointerSettings{1.0, 0.5, 800.0, 4.0, 1.2})); // order matters
    EXPECT_NE(hash(scaled), hash(PointerSettings::standard));

    const PointerSettings negativeZero{-0.0, 0.55, 900.0, 1.1, 5.0};
    const PointerSettings positiveZero{0.0, 0.55, 900.0, 1.1, 5.0};
    EXPECT_EQ(negativeZero, positiveZero);
    EXPECT_EQ(hash(negativeZero), hash(positiveZero));
}

} // namespace
} // namespace ravnix
