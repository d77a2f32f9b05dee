#include "guide/GestureDemo.hpp"

#include "guide/GuideCatalog.hpp"

#include <gtest/gtest.h>
#include <limits>
#include <string_view>

namespace ravnix {
namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();

const FingerTrack& firstFinger(std::string_view id) {
    return gestureDemo(id).fingers.at(0);
}

TEST(Ramp, HoldsOutsideItsStopsAndEasesBetweenThem) {
    const Ramp ramp{{{0.35, 0.2}, {2.3, 0.68}}};
    EXPECT_DOUBLE_EQ(ramp.value(0), 0.2);
    EXPECT_NEAR(ramp.value(1.325), 0.44, 1e-12); // half-way
    EXPECT_DOUBLE_EQ(ramp.value(3), 0.68);
    // A quarter of the way the eased value has covered 5/32 of the distance.
    EXPECT_NEAR(ramp.value(0.35 + 0.25 * 1.95), 0.2 + 0.48 * 5.0 / 32.0, 1e-12);

    EXPECT_EQ(Ramp{}.value(1), 0);
    EXPECT_EQ(Ramp::constant(0.3).value(-5), 0.3);
    EXPECT_EQ(ramp.value(nan), 0.2);
}

TEST(FingerTrack, IsPresentOnlyWhileTouching) {
    const FingerTrack& imlec = firstFinger("imlec");
    EXPECT_FALSE(imlec.position(0)); // its first key is at 0.35 s
    ASSERT_TRUE(imlec.position(1.325));
    EXPECT_NEAR(imlec.position(1.325)->x, 0.48, 1e-12); // half-way along the eased move
    EXPECT_TRUE(imlec.position(2.59));
    EXPECT_FALSE(imlec.position(2.6)); // its last key lifts the finger
    EXPECT_FALSE(imlec.position(nan));

    // Tap, lift, and touch again.
    const FingerTrack& harf = firstFinger("harf-secim");
    EXPECT_TRUE(harf.position(0.7));
    EXPECT_FALSE(harf.position(0.9));
    EXPECT_EQ(harf.position(1.0), (GuidePoint{0.24, 0.52}));

    // A track that ends down keeps its finger exactly at the last key, not after it.
    const FingerTrack held{{{0, {0.1, 0.1}, true}, {1, {0.9, 0.5}, true}}};
    EXPECT_EQ(held.position(1), (GuidePoint{0.9, 0.5}));
    EXPECT_FALSE(held.position(1.01));
    EXPECT_FALSE(FingerTrack{}.position(0));
}

TEST(FingerTrack, TrailRunsBackToTheLastAbsence) {
    const FingerTrack& imlec = firstFinger("imlec");
    const double step = FingerTrack::trailSpan / 22;

    const auto full = imlec.trail(2.0);
    ASSERT_EQ(full.size(), FingerTrack::trailSamples);
    EXPECT_EQ(full.front(), *imlec.position(2.0 - 22 * step)); // oldest first
    EXPECT_EQ(full.back(), *imlec.position(2.0));

    // Touched down 0.2 s ago: only the samples since then.
    const auto fresh = imlec.trail(0.55);
    ASSERT_EQ(fresh.size(), 5u);
    EXPECT_EQ(fresh.front(), *imlec.position(0.55 - 4 * step));

    // Lifted 0.3 s ago: nothing, although most samples were still touching.
    EXPECT_TRUE(imlec.trail(2.9).empty());
    // The earlier tap at 0.6 … 0.78 s lies inside the window but is cut off by the lift.
    EXPECT_EQ(firstFinger("harf-secim").trail(1.2).size(), 5u);
    EXPECT_TRUE(FingerTrack{}.trail(1).empty());
}

TEST(GestureDemo, CurrentStepIsTheLastOneStarted) {
    const GestureDemo& demo = gestureDemo("sol-tik"); // steps at 0, 0.75 and 1 s
    EXPECT_EQ(demo.currentStep(-1), 0u);
    EXPECT_EQ(demo.currentStep(0.74), 0u);
    EXPECT_EQ(demo.currentStep(0.75), 1u);
    EXPECT_EQ(demo.currentStep(demo.duration), 2u);
    EXPECT_EQ(GestureDemo{}.currentStep(1), 0u);
}

} // namespace
} // namespace ravnix
