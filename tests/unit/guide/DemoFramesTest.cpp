#include "guide/DemoFrames.hpp"

#include "guide/GuideCatalog.hpp"

#include <cmath>
#include <gtest/gtest.h>
#include <vector>

namespace ravnix {
namespace {

std::vector<DemoFrame> framesOf(const char* id, DemoFrameOptions options = {}) {
    auto frames = demoFrames(gestureDemo(id), options);
    EXPECT_TRUE(frames) << id << ": " << (frames ? "" : frames.error());
    return frames.value_or(std::vector<DemoFrame>{});
}

struct ButtonFrame {
    double time;
    std::uint8_t flags;
    std::uint8_t clickCount;
};

std::vector<ButtonFrame> buttonFrames(const std::vector<DemoFrame>& frames) {
    std::vector<ButtonFrame> found;
    for (const DemoFrame& frame : frames) {
        if (!frame.flags.isEmpty()) {
            found.push_back({frame.time, frame.flags.rawValue, frame.clickCount});
        }
    }
    return found;
}

TEST(DemoFramesTest, AFingerBeginsMovesRestsAndEndsWhereItLastWas) {
    const auto frames = framesOf("imlec");
    ASSERT_EQ(frames.size(), 409u); // 3.4 s at 120 Hz, both ends included
    std::vector<FingerPhase> phases;
    const FingerSample* last = nullptr;
    for (const DemoFrame& frame : frames) {
        ASSERT_LE(frame.fingers.size(), 1u);
        EXPECT_TRUE(frame.flags.isEmpty());
        if (frame.fingers.empty()) {
            continue;
        }
        const FingerSample& sample = frame.fingers.front();
        EXPECT_EQ(sample.id, 1);
        if (phases.empty() || phases.back() != sample.phase) {
            phases.push_back(sample.phase);
        }
        if (sample.phase == FingerPhase::ended) {
            ASSERT_NE(last, nullptr);
            EXPECT_EQ(sample.x, last->x);
            EXPECT_EQ(sample.y, last->y);
        } else if (sample.phase == FingerPhase::began) {
            // The track's first key, in touch units: 0.46 wide, 1 high.
            EXPECT_NEAR(sample.x, 0.26 * surfaceWidthUnits, 1e-3);
            EXPECT_NEAR(sample.y, 0.66 * surfaceHeightUnits, 1e-3);
            EXPECT_NEAR(frame.time, 0.35, 1.0 / 120);
        }
        last = &sample;
    }
    EXPECT_EQ(phases, (std::vector<FingerPhase>{FingerPhase::began, FingerPhase::moved,
                                                FingerPhase::stationary, FingerPhase::ended}));
    // Up and to the right: x grows, y (downwards) shrinks.
    EXPECT_NEAR(last->x, 0.7 * surfaceWidthUnits, 1e-3);
    EXPECT_NEAR(last->y, 0.34, 1e-3);
}

// The flags and click count of each frame that carries flags.
std::vector<std::pair<int, int>> clicks(const char* id) {
    std::vector<std::pair<int, int>> found;
    for (const ButtonFrame& frame : buttonFrames(framesOf(id))) {
        found.emplace_back(frame.flags, frame.clickCount);
    }
    return found;
}
using Clicks = std::vector<std::pair<int, int>>;

TEST(DemoFramesTest, TapsBecomeClicksCountedInTheirSeriesAndTwoFingersClickRight) {
    EXPECT_EQ(clicks("sol-tik"), (Clicks{{0x03, 1}}));
    EXPECT_EQ(clicks("cift-tik"), (Clicks{{0x03, 1}, {0x03, 2}}));
    EXPECT_EQ(clicks("uc-tik"), (Clicks{{0x03, 1}, {0x03, 2}, {0x03, 3}}));
    EXPECT_EQ(clicks("sag-tik"), (Clicks{{0x0C, 1}})); // secondaryDown | secondaryUp
    // The click goes out at 0.98 s, with the frame in which the finger lifts.
    for (const DemoFrame& frame : framesOf("sol-tik")) {
        if (!frame.flags.isEmpty()) {
            EXPECT_GE(frame.time, 0.98);
            EXPECT_LT(frame.time, 0.98 + 1.0 / 120);
            ASSERT_EQ(frame.fingers.size(), 1u);
            EXPECT_EQ(frame.fingers[0].phase, FingerPhase::ended);
        }
    }
}

TEST(DemoFramesTest, PressReleaseDeepAndSystemPulsesBecomeTheirFlags) {
    const auto drag = framesOf("uc-parmak-surukleme");
    const auto buttons = buttonFrames(drag);
    ASSERT_EQ(buttons.size(), 2u);
    EXPECT_EQ(buttons[0].flags, 0x01);
    EXPECT_EQ(buttons[1].flags, 0x02);
    // Three fingers move between press and release: that is the drag.
    int movingFramesWhileHeld = 0;
    for (const DemoFrame& frame : drag) {
        if (frame.time > buttons[0].time && frame.time < buttons[1].time &&
            frame.fingers.size() == 3 && frame.fingers[0].phase == FingerPhase::moved) {
            ++movingFramesWhileHeld;
        }
    }
    EXPECT_GT(movingFramesWhileHeld, 200);

    EXPECT_EQ(clicks("derin-bas"), (Clicks{{TouchFlags::lookUp.rawValue, 1}}));
    EXPECT_EQ(clicks("masaustu"), (Clicks{{TouchFlags::showDesktop.rawValue, 1}}));
    // A press starts no click series: the click before it and the drag stay apart.
    const auto selection = clicks("harf-secim");
    ASSERT_EQ(selection.size(), 3u);
    EXPECT_EQ(selection[0].first, 0x03);
    EXPECT_EQ(selection[1], std::make_pair(0x01, 1));
    EXPECT_EQ(selection[2].first, 0x02);
}

TEST(DemoFramesTest, RateRepeatAndScaleShapeTheScript) {
    const auto frames = framesOf("cift-tik", {60, 2, 2.0});
    ASSERT_EQ(frames.size(), 2u * (216 + 1)); // 3.6 s at 60 Hz, twice
    for (std::size_t i = 1; i < frames.size(); ++i) {
        EXPECT_NEAR(frames[i].time - frames[i - 1].time, i == 217 ? 0 : 1.0 / 60, 1e-9) << i;
    }
    EXPECT_DOUBLE_EQ(frames[217].time, 3.6);
    // Each play is its own series: the second play's first click counts 1 again.
    const auto buttons = buttonFrames(frames);
    ASSERT_EQ(buttons.size(), 4u);
    EXPECT_EQ(buttons[2].clickCount, 1);
    EXPECT_EQ(buttons[3].clickCount, 2);
    // Scale 2 doubles every distance.
    for (const DemoFrame& frame : frames) {
        for (const FingerSample& sample : frame.fingers) {
            EXPECT_NEAR(sample.x, 0.5 * surfaceWidthUnits * 2, 1e-6);
            EXPECT_NEAR(sample.y, 0.5 * surfaceHeightUnits * 2, 1e-6);
        }
    }

    // A rate too low to see a tap still delivers its click in the next frame it has.
    const auto sparse = buttonFrames(framesOf("sol-tik", {2, 1, 1}));
    ASSERT_EQ(sparse.size(), 1u);
    EXPECT_DOUBLE_EQ(sparse[0].time, 1.0);
}

TEST(DemoFramesTest, RefusesOptionsOutOfRange) {
    const GestureDemo& demo = gestureDemo("imlec");
    EXPECT_FALSE(demoFrames(demo, {0, 1, 1}));
    EXPECT_FALSE(demoFrames(demo, {maximumRate + 1, 1, 1}));
    EXPECT_FALSE(demoFrames(demo, {std::nan(""), 1, 1}));
    EXPECT_FALSE(demoFrames(demo, {120, 0, 1}));
    EXPECT_FALSE(demoFrames(demo, {120, maximumRepeat + 1, 1}));
    EXPECT_FALSE(demoFrames(demo, {120, 1, 0}));
    GestureDemo crowded = demo;
    crowded.fingers.resize(6, demo.fingers.front());
    EXPECT_FALSE(demoFrames(crowded, {}));
}

} // namespace
} // namespace ravnix
