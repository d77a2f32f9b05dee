// The wlroots backend against a real compositor: headless sway (tests/support/sway.sh), read
// back by a fullscreen Wayland client of our own (tests/support/wayland_probe.c) that prints
// what its pointer and keyboard receive.

#include "platform/events/wlroots/WlrootsEventSystem.hpp"
#include "support/Eventually.hpp"
#include "support/TestService.hpp"
#include "unit/platform/events/WaylandProbe.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <thread>
#include <vector>

namespace ravnix {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::pointOf;
using test::Probe;

std::shared_ptr<WlrootsEventSystem> openBackend(const test::TestService& sway,
                                                std::vector<std::string>* log = nullptr) {
    WlrootsOptions options;
    options.displayName = sway["WAYLAND_DISPLAY"];
    if (log != nullptr) {
        options.onEvent = [log](const std::string& line) { log->push_back(line); };
    }
    auto opened = WlrootsEventSystem::open(std::move(options));
    EXPECT_TRUE(opened) << (opened ? "" : opened.error().text());
    return opened ? *opened : nullptr;
}

void postMotion(WlrootsEventSystem& events, double dx, double dy) {
    const Point origin = *events.pointerLocation();
    events.post(*events.mouseEvent(std::nullopt, MouseEventType::mouseMoved,
                                   {origin.x + dx, origin.y + dy}, MouseButton::left));
}

// Moves until the probe reports where the pointer is. Not from an "enter": the window may
// have been entered where the pointer was before the step.
std::optional<Point> pointerInWindow(WlrootsEventSystem& events, Probe& probe) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        postMotion(events, 1, 1);
        if (const auto line = probe.next({"motion"}, 2s)) {
            return pointOf(*line);
        }
    }
    return std::nullopt;
}

TEST(SwayVirtualInput, PointerButtonsScrollingAndKeysReachAWindow) {
    RAVNIX_REQUIRE_SERVICE(sway, "sway");
    std::vector<std::string> log;
    auto events = openBackend(sway, &log);
    ASSERT_TRUE(events);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("sanal klavye var"), std::string::npos) << log[0];
    const ScreenList screens = events->screens();
    ASSERT_EQ(screens.count, 1u);
    EXPECT_EQ(screens.frames[0], (Rect{0, 0, 1280, 720}));

    Probe probe(sway["XDG_RUNTIME_DIR"], sway["WAYLAND_NAME"]);
    ASSERT_TRUE(probe.isRunning());
    ASSERT_TRUE(probe.next({"ready"}, 10s)) << "the probe's window did not appear";
    auto start = pointerInWindow(*events, probe);
    ASSERT_TRUE(start) << "the pointer never entered the window";

    // A stroke of small, uneven steps, most of them below a pixel, away from the nearer edges:
    // the pointer travels their sum.
    const double signX = start->x < 640 ? 1 : -1;
    const double signY = start->y < 360 ? 1 : -1;
    double sumX = 0, sumY = 0;
    for (int i = 0; i < 150; ++i) {
        const double dx = signX * (0.37 + (i % 3) * 0.21);
        const double dy = signY * (0.23 + (i % 5) * 0.11);
        postMotion(*events, dx, dy);
        sumX += dx;
        sumY += dy;
    }
    Point reached = *start;
    const auto deadline = Clock::now() + 5s;
    while (std::hypot(reached.x - start->x - sumX, reached.y - start->y - sumY) > 0.01 &&
           Clock::now() < deadline) {
        const auto line = probe.next({"motion"}, 1s);
        if (!line) {
            break;
        }
        reached = pointOf(*line);
    }
    // What one step has below wl_fixed's 1/256 pixel is kept, not lost (the
    // window's positions are rounded to 1/256 themselves, and printed with four decimals).
    EXPECT_NEAR(reached.x - start->x, sumX, 2.5 / 256);
    EXPECT_NEAR(reached.y - start->y, sumY, 2.5 / 256);

    // A click, then a right one.
    const Point at = *events->pointerLocation();
    for (const auto& [type, button] : {std::pair{MouseEventType::leftMouseDown, MouseButton::left},
                                       {MouseEventType::leftMouseUp, MouseButton::left},
                                       {MouseEventType::rightMouseDown, MouseButton::right},
                                       {MouseEventType::rightMouseUp, MouseButton::right}}) {
        events->post(*events->mouseEvent(std::nullopt, type, at, button));
    }
    EXPECT_EQ(probe.next({"button"}), "button 272 1");
    EXPECT_EQ(probe.next({"button"}), "button 272 0");
    EXPECT_EQ(probe.next({"button"}), "button 273 1");
    EXPECT_EQ(probe.next({"button"}), "button 273 0");

    // Smooth scrolling downwards and to the left, then its end: both axes stop.
    for (const auto& [vertical, horizontal, phase] :
         {std::tuple{-20, 0, 1}, std::tuple{-7, 3, 2}, std::tuple{0, 0, 4}}) {
        auto event = *events->scrollWheelEvent(std::nullopt, vertical, horizontal);
        event.setIntegerField(EventField::scrollIsContinuous, 1);
        event.setIntegerField(EventField::scrollPhase, phase);
        events->post(event);
    }
    EXPECT_EQ(probe.next({"axis"}), "axis 0 20.0000");
    EXPECT_EQ(probe.next({"axis"}), "axis 0 7.0000");
    EXPECT_EQ(probe.next({"axis"}), "axis 1 -3.0000");
    const auto stopA = probe.next({"axis"});
    const auto stopB = probe.next({"axis"});
    ASSERT_TRUE(stopA && stopB);
    EXPECT_EQ(std::min(*stopA, *stopB), "axis_stop 0");
    EXPECT_EQ(std::max(*stopA, *stopB), "axis_stop 1");

    // Line scrolling: two notches downwards, as discrete steps with their wheel value.
    auto lines = *events->scrollWheelEvent(std::nullopt, 0, 0);
    lines.setIntegerField(EventField::scrollDeltaAxis1, -2);
    events->post(lines);
    EXPECT_EQ(probe.next({"discrete", "axis"}), "discrete 0 2");
    EXPECT_EQ(probe.next({"discrete", "axis"}), "axis 0 30.0000");

    // A key with a modifier: the window has had the keyboard since it appeared (the virtual
    // one came first), sees Shift held when the key comes, and everything released afterwards.
    ASSERT_TRUE(probe.hasSeen("kbenter")) << "the window never got the keyboard";
    for (const bool down : {true, false}) {
        auto key = *events->keyboardEvent(std::nullopt, 0, down); // 'a'
        key.setFlags(EventFlags::shift);
        events->post(key);
    }
    EXPECT_EQ(probe.next({"key"}), "key 42 1"); // left Shift
    const auto held = probe.next({"modifiers"});
    ASSERT_TRUE(held);
    EXPECT_NE(std::stoul(held->substr(10)), 0u) << *held;
    EXPECT_EQ(probe.next({"key"}), "key 30 1");
    EXPECT_EQ(probe.next({"key"}), "key 30 0");
    EXPECT_EQ(probe.next({"key"}), "key 42 0");
    EXPECT_EQ(probe.next({"modifiers"}), "modifiers 0");
    EXPECT_EQ(events->droppedEvents(), 0u);
}

TEST(SwayVirtualInput, TenThousandMotionsAsFastAsPossibleAllArriveInOrder) {
    RAVNIX_REQUIRE_SERVICE(sway, "sway");
    auto events = openBackend(sway);
    ASSERT_TRUE(events);
    Probe probe(sway["XDG_RUNTIME_DIR"], sway["WAYLAND_NAME"]);
    ASSERT_TRUE(probe.next({"ready"}, 10s)) << "the probe's window did not appear";
    const auto start = pointerInWindow(*events, probe);
    ASSERT_TRUE(start) << "the pointer never entered the window";

    // Steps of an exact wl_fixed value, 625 pixels in all, towards the farther side: the
    // pointer, and the backend's own position (which starts in the middle), stay inside the
    // screen, so every position the window sees is distinct and predictable.
    constexpr int kMotions = 10'000;
    const double step = start->x < 640 ? 1.0 / 16 : -1.0 / 16;
    for (int i = 0; i < kMotions; ++i) {
        postMotion(*events, step, 0);
    }
    EXPECT_TRUE(events->isTrusted());
    EXPECT_EQ(events->droppedEvents(), 0u);
    RecordProperty("flush_waits", static_cast<int>(events->flushWaits()));

    const auto moved = probe.collect("motion", kMotions, 60s);
    ASSERT_EQ(moved.size(), static_cast<std::size_t>(kMotions))
        << "after " << events->flushWaits() << " waits for the socket";
    Point previous = *start;
    for (std::size_t i = 0; i < moved.size(); ++i) {
        const Point now = pointOf(moved[i]);
        // The probe prints four decimals.
        ASSERT_NEAR(now.x - previous.x, step, 2e-4) << "motion " << i << ": " << moved[i];
        ASSERT_EQ(now.y, previous.y) << moved[i];
        previous = now;
    }
}

TEST(SwayVirtualInput, UntrustedWhileTheCompositorIsGoneAndConnectedAgainWhenItIsBack) {
    RAVNIX_REQUIRE_SERVICE(sway, "sway");
    std::vector<std::string> log;
    auto events = openBackend(sway, &log);
    ASSERT_TRUE(events);
    ASSERT_TRUE(events->isTrusted());

    // The application polls isTrusted(); each call looks at the connection without waiting.
    auto pollUntil = [&](bool wanted) {
        return test::eventually([&] { return events->isTrusted() == wanted; }, 15s);
    };
    const pid_t swayPid = std::atoi(sway["SWAY_PID"].c_str());
    ASSERT_GT(swayPid, 0);
    ASSERT_EQ(::kill(swayPid, SIGTERM), 0);
    ASSERT_TRUE(pollUntil(false)) << "still trusted after sway ended";
    EXPECT_NE(events->untrustedReason().value_or("").find("bilesik sunucu"), std::string::npos);
    // Posting meanwhile neither blocks nor aborts: the events are counted as dropped.
    postMotion(*events, 5, 5);
    EXPECT_EQ(events->droppedEvents(), 1u);

    const std::string restart =
        std::string(RAVNIX_SWAY_SCRIPT) + " restart " + RAVNIX_TEST_SERVICE_DIR + " >/dev/null";
    ASSERT_EQ(std::system(restart.c_str()), 0) << "sway did not start again";
    ASSERT_TRUE(pollUntil(true)) << "not trusted again after sway came back";
    EXPECT_FALSE(events->untrustedReason());
    EXPECT_EQ(events->reconnections(), 1u);

    // The new connection carries input.
    const test::TestService again = test::loadTestService("sway");
    Probe probe(again["XDG_RUNTIME_DIR"], again["WAYLAND_NAME"]);
    ASSERT_TRUE(probe.next({"ready"}, 10s)) << "the probe's window did not appear";
    ASSERT_TRUE(pointerInWindow(*events, probe));
    const Point at = *events->pointerLocation();
    events->post(*events->mouseEvent(std::nullopt, MouseEventType::leftMouseDown, at, {}));
    events->post(*events->mouseEvent(std::nullopt, MouseEventType::leftMouseUp, at, {}));
    EXPECT_EQ(probe.next({"button"}), "button 272 1");
    EXPECT_EQ(probe.next({"button"}), "button 272 0");
    // The loss, the drops and the return were each logged once.
    std::string text;
    for (const auto& line : log) {
        text += line + "\n";
    }
    EXPECT_NE(text.find("baglantisi koptu"), std::string::npos) << text;
    EXPECT_NE(text.find("olaylar birakiliyor"), std::string::npos) << text;
    EXPECT_NE(text.find("wlroots: yeniden bagli"), std::string::npos) << text;
}

} // namespace
} // namespace ravnix
