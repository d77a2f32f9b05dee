#include "domain/PointerSettings.hpp"

#include <cmath>
#include <functional>
#include <gtest/gtest.h>

namespace ravnix {
namespace {

TEST(PointerSettings, GainAtRestAtThePivotAndAtTheCapBeforeTrackingScale) {
    const auto standard = PointerSettings::standard;
    for (const double rest : {0.0, -50.0, double(NAN)}) {
        EXPECT_EQ(standard.gain(rest), 0.55) << rest;
    }
    EXPECT_EQ(standard.gain(900), 1.1);
    EXPECT_NEAR(standard.gain(300), 0.714, 5e-4);
    EXPECT_EQ(standard.withTrackingScale(2.0).gain(-50), 1.1);
    // The curve meets the cap at about 6,021 pt/s.
    EXPECT_LT(standard.gain(6000), 5.0);
    for (const double fast : {6100.0, 1e9, double(INFINITY)}) {
        EXPECT_EQ(standard.gain(fast), 5.0) << fast;
    }
    EXPECT_EQ(standard.withTrackingScale(3.0).gain(1e9), 15.0);
    // A zero pivot gives the cap, not NaN.
    EXPECT_EQ((PointerSettings{2.0, 0.55, 0.0, 1.1, 5.0}).gain(0), 10.0);
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

TEST(PointerSettings, WithTrackingScaleEqualityAndHashing) {
    const auto scaled = PointerSettings::standard.withTrackingScale(2.0);
    EXPECT_EQ(scaled, (PointerSettings{2.0, 0.55, 900.0, 1.1, 5.0}));

    const std::hash<PointerSettings> hash;
    const PointerSettings a{1.0, 0.5, 800.0, 1.2, 4.0};
    const PointerSettings b{1.0, 0.5, 800.0, 1.2, 4.0};
    EXPECT_EQ(hash(a), hash(b));
    EXPECT_NE(hash(a), hash(PointerSettings{1.0, 0.5, 800.0, 4.0, 1.2})); // order matters
    EXPECT_NE(hash(scaled), hash(PointerSettings::standard));

    const PointerSettings negativeZero{-0.0, 0.55, 900.0, 1.1, 5.0};
    const PointerSettings positiveZero{0.0, 0.55, 900.0, 1.1, 5.0};
    EXPECT_EQ(hash(negativeZero), hash(positiveZero));
}

} // namespace
} // namespace ravnix
