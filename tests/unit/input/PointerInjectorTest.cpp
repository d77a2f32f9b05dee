#include "input/PointerInjector.hpp"

#include "platform/events/RecordingEventSystem.hpp"
#include "unit/platform/TemporaryFolder.hpp"

#include <atomic>
#include <cmath>
#include <gtest/gtest.h>
#include <thread>

namespace ravnix {
namespace {

class PointerInjectorTest : public ::testing::Test {
  protected:
    // The log's folder does not exist yet: the injector makes it.
    std::vector<std::string> clickLog() const { return test::readLines(logFile); }
    void advance(double seconds) { now += static_cast<std::uint64_t>(seconds * 1e9); }

    test::TemporaryFolder folder;
    const std::filesystem::path logFile = folder.path() / "Logs" / "tiklama.log";
    std::atomic<std::uint64_t> now{10'000'000'000ULL};
    std::shared_ptr<RecordingEventSystem> events = std::make_shared<RecordingEventSystem>();
    std::unique_ptr<PointerInjector> injector = std::make_unique<PointerInjector>(
        events, PointerSettings::standard, logFile, [this] { return now.load(); });
};

TEST_F(PointerInjectorTest, MotionFollowsTheAccelerationCurveWithSmoothing) {
    injector->move(0.01, 0, 1.0 / 120);
    auto step = injector->lastStep();
    EXPECT_DOUBLE_EQ(step.speed, 270.0);
    EXPECT_NEAR(step.moveX, 6.27, 5e-3); // the curve's gain 0.6963 at 900 pt per unit
    EXPECT_EQ(step.moveY, 0.0);

    injector->move(0.01, 0, 1.0 / 120);
    step = injector->lastStep();
    EXPECT_DOUBLE_EQ(step.speed, 472.5);
    EXPECT_NEAR(step.moveX, 7.39, 5e-3);

    const auto posted = events->takeEvents();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0].mouseType, MouseEventType::mouseMoved);
    EXPECT_NEAR(posted[0].location.x, 720 + 6.27, 5e-3);
    EXPECT_EQ(posted[0].integerField(EventField::mouseDeltaX), 6);
    EXPECT_EQ(posted[0].integerField(EventField::mouseDeltaY), 0);
    EXPECT_EQ(posted[1].integerField(EventField::mouseDeltaX), 7);

    // A zero step posts nothing and restarts the smoothing from rest.
    injector->move(0, 0, 1.0 / 120);
    EXPECT_TRUE(events->takeEvents().empty());
    injector->move(0.01, 0, 1.0 / 120);
    EXPECT_DOUBLE_EQ(injector->lastStep().speed, 270.0);
}

TEST_F(PointerInjectorTest, StepsBelowAPointAddUpInLengthAndDirection) {
    double sumX = 0, sumY = 0;
    for (int i = 0; i < 60; ++i) {
        injector->move(0.0004, 0.00015, 1.0 / 120); // about 0.2 pt by 0.07 pt per step
        sumX += injector->lastStep().moveX;
        sumY += injector->lastStep().moveY;
    }
    ASSERT_LT(injector->lastStep().moveX, 0.5);
    const auto at = events->pointerLocation();
    ASSERT_TRUE(at);
    EXPECT_NEAR(at->x, 720 + sumX, 1e-9);
    EXPECT_NEAR(at->y, 450 + sumY, 1e-9);
}

TEST_F(PointerInjectorTest, FrameIntervalsBelow2msAndPausesAbove100ms) {
    injector->move(0.01, 0, 0.001); // counted as 2 ms: 4500 pt/s raw, 1125 smoothed
    EXPECT_DOUBLE_EQ(injector->lastStep().speed, 1125.0);

    injector->move(0.01, 0, 0.5); // after a pause the raw speed stands alone
    const auto step = injector->lastStep();
    EXPECT_DOUBLE_EQ(step.speed, 18.0);
    EXPECT_NEAR(step.moveX, 5.02, 5e-3);
}

TEST_F(PointerInjectorTest, FastStepsAreCutToTheJumpLimit) {
    injector->move(0.2, 0.1, 0.008);
    const auto step = injector->lastStep();
    EXPECT_TRUE(step.clamped);
    EXPECT_NEAR(std::hypot(step.moveX, step.moveY), 120.0, 1e-9);
    EXPECT_NEAR(step.moveY / step.moveX, 0.5, 1e-12); // same direction
    EXPECT_EQ(injector->clampedJumps(), 1u);

    PointerInjector straight(events, PointerSettings::standard, {});
    straight.move(0.2, 0, 0.008);
    EXPECT_DOUBLE_EQ(straight.lastStep().speed, 5625.0);
    EXPECT_DOUBLE_EQ(straight.lastStep().moveX, 120.0);
}

TEST_F(PointerInjectorTest, HeldLeftButtonDragsAndTheDisplayEdgeHolds) {
    events->setPointer(Point{1400, 450});
    injector->move(0.2, 0, 0.5);
    auto posted = events->takeEvents();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].location.x, 1439);
    EXPECT_EQ(posted[0].integerField(EventField::mouseDeltaX), 39); // what was applied, not asked

    injector->press(MouseButton::left, 1);
    injector->move(-0.01, 0, 0.5);
    posted = events->takeEvents();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[1].mouseType, MouseEventType::leftMouseDragged);
    injector->release(MouseButton::left);
    injector->move(-0.01, 0, 0.5);
    EXPECT_EQ(events->takeEvents().back().mouseType, MouseEventType::mouseMoved);
}

TEST(ClampToScreens, NearestDisplayAndTies) {
    ScreenList screens;
    screens.add({0, 0, 1440, 900});
    screens.add({1540, 0, 1920, 1200}); // 100 pt gap, taller
    // On a display: unchanged.
    EXPECT_EQ(clampToScreens({100, 100}, screens), (Point{100, 100}));
    // In the gap, nearer the second display's left edge.
    EXPECT_EQ(clampToScreens({1500, 100}, screens), (Point{1540, 100}));
    // Equally far from both: the first listed wins.
    EXPECT_EQ(clampToScreens({1489.5, 100}, screens), (Point{1439, 100}));
    // Above the primary in global space, beside the taller display: y flips correctly.
    EXPECT_EQ(clampToScreens({1600, -200}, screens), (Point{1600, -200}));
    EXPECT_EQ(clampToScreens({1600, -400}, screens), (Point{1600, -299}));
    EXPECT_EQ(clampToScreens({5, 7}, ScreenList{}), (Point{5, 7}));
}

TEST_F(PointerInjectorTest, PressesUseThePhonesCountAndLogBoth) {
    injector->press(MouseButton::left, 2);
    advance(0.25);
    injector->release(MouseButton::left);
    injector->press(MouseButton::right, 9);
    injector->release(MouseButton::right, 5);
    const auto posted = events->takeEvents();
    ASSERT_EQ(posted.size(), 4u);
    EXPECT_EQ(posted[0].mouseType, MouseEventType::leftMouseDown);
    EXPECT_EQ(posted[0].integerField(EventField::mouseClickState), 2);
    EXPECT_EQ(posted[1].integerField(EventField::mouseClickState), 2); // the recorded count
    EXPECT_EQ(posted[2].integerField(EventField::mouseClickState), 1);
    EXPECT_EQ(posted[3].integerField(EventField::mouseClickState), 5);
    EXPECT_EQ(injector->lastLocalState(), 1);

    EXPECT_EQ(clickLog(),
              (std::vector<std::string>{
                  "solBas state=2 yerel=1 x=720 y=450 aralik=0ms mesafe=849 bayrak=0 parmak=0",
                  "solBirak state=2 yerel=1 x=720 y=450 aralik=250ms mesafe=849 bayrak=0 parmak=0",
                  "sagBas state=1 yerel=1 x=720 y=450 aralik=0ms mesafe=849 bayrak=0 parmak=0",
                  "sagBirak state=5 yerel=1 x=720 y=450 aralik=0ms mesafe=849 bayrak=0 parmak=0",
              }));
}

TEST_F(PointerInjectorTest, ClickCountsAreBoundedAndDoublePressesRefused) {
    injector->press(MouseButton::left, 0);
    injector->press(MouseButton::left, 1); // already down
    injector->release(MouseButton::left);
    injector->release(MouseButton::left); // no up without a down
    injector->press(MouseButton::left, 7);
    injector->release(MouseButton::left);
    const auto posted = events->takeEvents();
    ASSERT_EQ(posted.size(), 4u);
    EXPECT_EQ(posted[0].integerField(EventField::mouseClickState), 1);
    EXPECT_EQ(posted[2].integerField(EventField::mouseClickState), 3);
    EXPECT_EQ(posted[3].integerField(EventField::mouseClickState), 3);
    EXPECT_EQ(clickLog().at(1), "solBas ATLANDI: tus zaten basili");

    // No pointer: buttons do nothing, and a held button stays held for a later release.
    injector->press(MouseButton::left, 1);
    events->setPointer(std::nullopt);
    injector->release(MouseButton::left);
    EXPECT_TRUE(injector->isLeftDown());
    events->setPointer(Point{1, 1});
    injector->release(MouseButton::left);
    EXPECT_FALSE(injector->isLeftDown());
}

TEST_F(PointerInjectorTest, LocalDetectorCountsSeriesWithinWindowAndRadius) {
    EXPECT_EQ(injector->doubleClickWindow(), 0.5);
    std::vector<std::int64_t> states;
    for (int i = 0; i < 4; ++i) {
        states.push_back(injector->localClickState(100 + i, 100));
        advance(0.3);
    }
    EXPECT_EQ(states, (std::vector<std::int64_t>{1, 2, 3, 3}));
    EXPECT_EQ(injector->localClickState(103 + 29, 100), 1); // 29 pt away
    advance(0.6);
    EXPECT_EQ(injector->localClickState(132, 100), 1); // too late

    // Through press the series continues from the phone's count.
    advance(5);
    injector->press(MouseButton::left, 3);
    injector->release(MouseButton::left);
    advance(0.2);
    injector->press(MouseButton::left, 1);
    EXPECT_EQ(injector->lastLocalState(), 3);

    // A system interval outside 0.05…2 s falls back to 0.5 s.
    events->setDoubleClickInterval(3.0);
    EXPECT_EQ(PointerInjector(events, PointerSettings::standard, {}).doubleClickWindow(), 0.5);
    events->setDoubleClickInterval(0.8);
    EXPECT_EQ(PointerInjector(events, PointerSettings::standard, {}).doubleClickWindow(), 0.8);
}

TEST_F(PointerInjectorTest, ScrollCarriesPointAndLineRemainders) {
    injector->scroll(ScrollPhase::began, 0, 0, 0.6);
    injector->scroll(ScrollPhase::changed, 0, 0, 0.6);
    auto posted = events->takeEvents();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0].wheel1, 0);
    EXPECT_EQ(posted[1].wheel1, 1);
    EXPECT_EQ(posted[0].integerField(EventField::scrollPhase), 1);
    EXPECT_EQ(posted[1].integerField(EventField::scrollPhase), 2);
    EXPECT_EQ(posted[1].integerField(EventField::scrollIsContinuous), 1);
    EXPECT_EQ(posted[1].integerField(EventField::scrollMomentumPhase), 0);

    injector->scroll(ScrollPhase::began, 0, 0, 0); // discards the 0.2
    EXPECT_EQ(injector->residuals(), PointerInjector::Residuals{});

    injector->scroll(ScrollPhase::changed, 0, 40, -40);
    injector->scroll(ScrollPhase::ended, EventFlags::command, 8, -8);
    posted = events->takeEvents();
    ASSERT_EQ(posted.size(), 3u);
    EXPECT_EQ(posted[1].wheel2, 40);
    EXPECT_EQ(posted[1].wheel1, -40);
    EXPECT_EQ(posted[1].integerField(EventField::scrollDeltaAxis2), 2);
    EXPECT_EQ(posted[1].integerField(EventField::scrollDeltaAxis1), -2);
    EXPECT_EQ(posted[1].flags, 0u);
    EXPECT_EQ(posted[2].integerField(EventField::scrollDeltaAxis2), 1);
    EXPECT_EQ(posted[2].integerField(EventField::scrollDeltaAxis1), -1);
    EXPECT_EQ(posted[2].integerField(EventField::scrollPhase), 4);
    EXPECT_EQ(posted[2].flags, EventFlags::command);
    EXPECT_EQ(injector->residuals(), (PointerInjector::Residuals{0, 0, 0, 0}));
}

TEST_F(PointerInjectorTest, InputsOutsideTheDomainAreDropped) {
    injector->move(std::nan(""), 0, 0.01);
    injector->move(0.1, 0, INFINITY);
    injector->scroll(ScrollPhase::changed, 0, 3e9, 0);
    injector->scroll(ScrollPhase::changed, 0, 0, -INFINITY);
    EXPECT_EQ(events->postedCount(), 0u);
    EXPECT_EQ(injector->lastStep(), PointerInjector::LastStep{});

    events->setFailCreation(true); // bookkeeping still happens, nothing is posted
    injector->move(0.01, 0, 1.0 / 120);
    EXPECT_DOUBLE_EQ(injector->lastStep().speed, 270.0);
    EXPECT_EQ(events->postedCount(), 0u);
}

// Frames, releases, log lines and the model's speed changes from several threads: the lock
// keeps the state whole and the log lines intact (ThreadSanitizer checks the rest).
TEST_F(PointerInjectorTest, OperationsFromSeveralThreadsStayExclusive) {
    events->setKeepEvents(false);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                switch (t) {
                case 0:
                    injector->move(0.001, -0.001, 0.008);
                    break;
                case 1:
                    injector->press(MouseButton::left, 1);
                    injector->release(MouseButton::left);
                    break;
                case 2:
                    injector->scroll(ScrollPhase::changed, 0, 3.3, 1.7);
                    break;
                default:
                    injector->setPointsPerUnit(900.0 + i);
                    injector->appendClickLog("temas " +
                                             std::string(40, static_cast<char>('a' + i % 26)));
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto lines = clickLog();
    EXPECT_EQ(lines.size(), 900u);
    for (const auto& line : lines) {
        const bool button =
            line.starts_with("solBas state=") || line.starts_with("solBirak state=");
        const bool contact = line.size() == 46 && line.starts_with("temas ");
        EXPECT_TRUE(button || contact) << line;
    }
}

} // namespace
} // namespace ravnix
