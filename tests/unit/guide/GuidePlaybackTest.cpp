#include "guide/GuidePlayback.hpp"

#include "guide/GuideCatalog.hpp"
#include "guide/GuideFrame.hpp"

#include <chrono>
#include <gtest/gtest.h>
#include <limits>

namespace ravnix {
namespace {

using Clock = GuidePlayback::Clock;

const Clock::time_point t0 = Clock::time_point{} + std::chrono::seconds(1000);

Clock::time_point at(double seconds) {
    return t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

TEST(GuidePlayback, SlowModeStretchesTheDemonstrationAndItsHold) {
    GuidePlayback playback(t0);
    ASSERT_EQ(playback.demo().id, "imlec");         // 3.4 s
    EXPECT_NEAR(playback.time(at(4.4)), 3.4, 1e-6); // held
    EXPECT_NEAR(playback.time(at(4.6)), 0.1, 1e-6); // next loop

    playback.setSlow(true, t0);
    EXPECT_NEAR(playback.time(at(8.49)), 3.396, 1e-6);
    // From 8.5 s the last frame is held for 2.75 s (1.1 s of playback), the bar full.
    for (const double wall : {8.5, 11.0, 11.24}) {
        EXPECT_NEAR(playback.time(at(wall)), 3.4, 1e-6) << wall;
        EXPECT_EQ(playback.progress(at(wall)), 1.0) << wall;
    }
    EXPECT_NEAR(playback.time(at(11.26)), 0.004, 1e-6);
    EXPECT_NEAR(playback.progress(at(4.25)), 0.5, 1e-6);
}

TEST(GuidePlayback, RestartsWhenSelectionOrSpeedChangesOrOnRequest) {
    GuidePlayback playback(t0);
    playback.select("sol-tik", at(2));
    EXPECT_EQ(playback.time(at(2)), 0);
    playback.select("sol-tik", at(2.5)); // the same row again: keeps playing
    EXPECT_NEAR(playback.time(at(3)), 1.0, 1e-6);

    playback.setSlow(true, at(3));
    EXPECT_EQ(playback.time(at(3)), 0);
    playback.setSlow(true, at(4));
    EXPECT_NEAR(playback.time(at(4)), 0.4, 1e-6);

    playback.restart(at(6));
    EXPECT_EQ(playback.time(at(6)), 0);
    EXPECT_EQ(playback.time(at(5)), 0); // a frame time before the start

    playback.select("yok", at(7));
    EXPECT_EQ(playback.selection(), "yok");
    EXPECT_EQ(playback.demo().id, "imlec");

    EXPECT_EQ(playbackTime(std::numeric_limits<double>::quiet_NaN(), false, 3), 0);
    EXPECT_EQ(playbackTime(5, false, 0), 0);
    EXPECT_EQ(playbackProgress(0, 0), 1);
}

TEST(PlaybackRings, PulsesLastHalfASecondAndFlashes045) {
    const GestureDemo& tap = gestureDemo("sol-tik"); // pulse and flash at 0.98 s
    const ScreenArea area{400, 300, 14, 15};
    const auto pulseAt = [&](double t) { return !surfaceFrame(tap, t).pulses.empty(); };
    const auto flashAt = [&](double t) { return !screenFrame(tap.scene, t, area).flashes.empty(); };
    EXPECT_FALSE(pulseAt(0.979));
    EXPECT_TRUE(pulseAt(0.98));
    EXPECT_TRUE(pulseAt(1.479));
    EXPECT_FALSE(pulseAt(1.481));
    EXPECT_TRUE(flashAt(0.98));
    EXPECT_TRUE(flashAt(1.429));
    EXPECT_FALSE(flashAt(1.431));

    // Slow playback stretches a pulse from 2.45 s to 3.7 s on the wall clock.
    GuidePlayback playback(t0);
    playback.select("sol-tik", t0);
    playback.setSlow(true, t0);
    EXPECT_FALSE(pulseAt(playback.time(at(2.449))));
    EXPECT_TRUE(pulseAt(playback.time(at(2.451))));
    EXPECT_TRUE(pulseAt(playback.time(at(3.699))));
    EXPECT_FALSE(pulseAt(playback.time(at(3.701))));

    // A ring grows and fades over its time, and is still drawn at its last instant.
    const auto end = pulseRing(Pulse{0.5, {}, Pulse::Kind::click}, 1.0);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->diameter, 102);
    EXPECT_EQ(end->opacity, 0);
    EXPECT_NEAR(flashRing(1.0, 1.225)->diameter, 25, 1e-9);

    // Overlapping flashes of a double tap (0.88 and 1.23 s) are both drawn.
    EXPECT_EQ(screenFrame(gestureDemo("cift-tik").scene, 1.3, area).flashes.size(), 2u);
}

} // namespace
} // namespace ravnix
