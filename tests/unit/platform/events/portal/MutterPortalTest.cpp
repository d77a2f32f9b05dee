// The portal backend against a real compositor: headless mutter behind the real portal frontend
// (tests/support/mutter.sh), read back by a fullscreen Wayland client of our own
// (tests/support/wayland_probe.c) that prints its pointer and keyboard events.

#include "platform/events/portal/PortalEventSystem.hpp"
#include "support/TestService.hpp"
#include "unit/platform/events/WaylandProbe.hpp"
#include "unit/platform/events/portal/PortalTestSupport.hpp"

#include <cmath>
#include <gtest/gtest.h>

namespace ravnix {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::pointOf;
using test::Probe;

void postMotion(PortalEventSystem& events, double dx, double dy) {
    const Point origin = *events.pointerLocation();
    events.post(*events.mouseEvent(std::nullopt, MouseEventType::mouseMoved,
                                   {origin.x + dx, origin.y + dy}, MouseButton::left));
}

TEST(MutterPortal, ScreensComeFromMutterAndTheStrokeReachesAWaylandClient) {
    RAVNIX_REQUIRE_SERVICE(service, "mutter");
    test::PortalServiceControl backend(service["MUTTER_BUS"],
                                       "org.freedesktop.impl.portal.RavnixTest");
    ASSERT_TRUE(backend.isConnected()) << backend.connectError;
    ASSERT_TRUE(backend.reset());
    test::PortalObserver observer;
    PortalOptions options;
    options.busAddress = service["MUTTER_BUS"];
    observer.attach(options);
    auto events = PortalEventSystem::create(std::move(options));

    Probe probe(service["XDG_RUNTIME_DIR"], service["WAYLAND_DISPLAY"]);
    ASSERT_TRUE(probe.isRunning());
    const auto ready = probe.next({"ready"}, 10s);
    ASSERT_TRUE(ready) << "the probe's window did not appear";
    ASSERT_TRUE(observer.waitFor(true)) << observer.logText();

    // The screens come from mutter's DisplayConfig: its one virtual monitor.
    const ScreenList screens = events->screens();
    ASSERT_EQ(screens.count, 1u) << observer.logText();
    EXPECT_EQ(screens.frames[0], (Rect{0, 0, 1280, 720}));
    EXPECT_EQ(events->screenOrigin(), "org.gnome.Mutter.DisplayConfig");

    // While mutter animates a new window the client sees scaled coordinates: step until a
    // 10 px step arrives as exactly 10 px, then measure.
    std::optional<Point> last;
    bool settled = false;
    for (int attempt = 0; attempt < 400 && !settled; ++attempt) {
        postMotion(*events, attempt % 2 == 0 ? 10 : -10, 0);
        const auto line = probe.next({"motion", "enter"}, 2s);
        ASSERT_TRUE(line) << "no pointer event after " << attempt << " steps";
        const Point now = pointOf(*line);
        settled = last && line->rfind("motion", 0) == 0 &&
                  std::fabs(std::fabs(now.x - last->x) - 10) < 1e-6 && now.y == last->y;
        last = now;
    }
    ASSERT_TRUE(settled) << "mutter never delivered an exact step";

    // A stroke of small, uneven steps: the pointer travels their sum.
    double sumX = 0, sumY = 0;
    for (int i = 0; i < 150; ++i) {
        const double dx = 0.37 + (i % 3) * 0.21;
        const double dy = -0.23 + (i % 5) * 0.11;
        postMotion(*events, dx, dy);
        sumX += dx;
        sumY += dy;
    }
    const Point target{last->x + sumX, last->y + sumY};
    Point reached = *last;
    const auto deadline = Clock::now() + 5s;
    while (std::hypot(reached.x - target.x, reached.y - target.y) > 0.5 &&
           Clock::now() < deadline) {
        const auto line = probe.next({"motion"}, 1s);
        if (!line) {
            break;
        }
        reached = pointOf(*line);
    }
    const double expected = std::hypot(sumX, sumY);
    EXPECT_NEAR(reached.x - last->x, sumX, 0.02 * expected);
    EXPECT_NEAR(reached.y - last->y, sumY, 0.02 * expected);
    // Clicks, scrolling and keys through this backend into mutter: WaylandEndToEndTest.
}

} // namespace
} // namespace ravnix
