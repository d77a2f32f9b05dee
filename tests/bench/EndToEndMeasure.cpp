// The whole road of a frame on one machine: the phone's link sends an authenticated one-finger
// frame over loopback, the link server checks it, the interpreter and injector turn it into
// pointer motion, XTEST posts it, and an observer connection sees the X pointer move. Beside
// it, in the same run, the floor of that road's last part: the same motion posted straight
// through the event system and observed the same way. Needs an X display (DISPLAY); without
// one the row says so.
//
// In the same run, the Wayland road: the same frames through the remote-control portal backend
// into headless mutter (tests/support/mutter.sh, started and stopped here), seen by a Wayland
// client of the tests (wayland_probe) as pointer motion, beside the X11 road's figures.

#include "MeasureSupport.hpp"
#include "cli/phone/PhoneLink.hpp"
#include "input/PointerInjector.hpp"
#include "input/TouchInterpreter.hpp"
#include "link/LinkServer.hpp"
#include "platform/AsioMainQueue.hpp"
#include "platform/Preferences.hpp"
#include "platform/events/x11/X11EventSystem.hpp"
#include "support/MemoryPreferences.hpp"
#include "transport/CFormat.hpp"
#include "transport/MonotonicClock.hpp"

#if RAVNIX_HAVE_WAYLAND_ROAD
#include "platform/events/portal/PortalEventSystem.hpp"
#include "unit/platform/events/WaylandProbe.hpp"
#endif

#include <X11/Xlib.h>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <vector>

namespace {

using namespace ravnix;
using bench::percentile;
using Clock = std::chrono::steady_clock;

constexpr int warmUp = 50;
constexpr int measured = 1000;
constexpr auto moveLimit = std::chrono::milliseconds(200);

const std::array<std::uint8_t, 32> key{1, 2, 3, 4, 5, 6, 7, 8};

struct Pointer {
    int x = 0;
    int y = 0;
    bool operator==(const Pointer&) const = default;
};

Pointer query(Display* display) {
    Window root = 0, child = 0;
    int x = 0, y = 0, windowX = 0, windowY = 0;
    unsigned mask = 0;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &windowX, &windowY,
                  &mask);
    return {x, y};
}

// Microseconds from `act` until the observer sees the pointer leave `before`; none when it
// did not move within the limit.
template <typename Act> std::optional<double> timeMove(Display* observer, Act act) {
    const Pointer before = query(observer);
    const auto start = Clock::now();
    act();
    while (Clock::now() - start < moveLimit) {
        if (query(observer) != before) {
            return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        }
    }
    return std::nullopt;
}

const char* const label = "end to end: phone frame sent → X pointer moved (Xvfb, 1,000 frames)";

// The median and p99 of a road, in µs.
struct RoadFigures {
    double median = 0;
    double p99 = 0;
};

// The desktop's receiving end over `events` and the phone's link to it, on loopback.
struct Desktop {
    std::shared_ptr<PointerInjector> injector;
    std::shared_ptr<TouchInterpreter> interpreter;
    std::shared_ptr<LinkServer> server;
    std::unique_ptr<PhoneLink> link;
};

std::optional<Desktop> makeDesktop(std::shared_ptr<EventSystem> events,
                                   const std::filesystem::path& folder) {
    Desktop desktop;
    desktop.injector = std::make_shared<PointerInjector>(
        std::move(events), PointerSettings::standard, folder / "tiklama.log");
    auto interpreter = TouchInterpreter::make({desktop.injector,
                                               ScrollSettings::standard,
                                               std::make_shared<MemoryPreferences>(),
                                               std::make_shared<AsioMainQueue>(),
                                               folder / "hareket.csv",
                                               {}});
    if (!interpreter) {
        std::fprintf(stderr, "interpreter: %s\n", interpreter.error().text().c_str());
        return std::nullopt;
    }
    desktop.interpreter = std::move(*interpreter);
    desktop.server = LinkServer::make(0, desktop.interpreter);
    if (auto started = desktop.server->start(); !started) {
        std::fprintf(stderr, "link server: %s\n", started.error().text().c_str());
        return std::nullopt;
    }
    desktop.server->updateAuthenticators({PacketAuthenticator(key, 7)});
    auto link =
        PhoneLink::overUdp(PacketAuthenticator(key, 7),
                           SocketAddress::make("127.0.0.1", desktop.server->boundPort()).value());
    if (!link) {
        std::fprintf(stderr, "phone link: %s\n", link.error().c_str());
        return std::nullopt;
    }
    desktop.link = std::move(*link);
    return desktop;
}

#if RAVNIX_HAVE_WAYLAND_ROAD
const char* const waylandLabel = "end to end: phone frame sent → Wayland client sees the motion "
                                 "(headless mutter, portal, 1,000 frames)";

// The frames of the X11 road, through the portal into mutter; the probe sees each motion.
void measureWaylandRoad(const std::map<std::string, std::string>& env,
                        const std::optional<RoadFigures>& x11, bool& failed) {
    test::Probe probe(env.at("XDG_RUNTIME_DIR"), env.at("WAYLAND_DISPLAY"));
    if (!probe.next({"ready"}, std::chrono::seconds(10))) {
        std::printf("| %s | skipped: the Wayland probe's window did not appear | | |\n",
                    waylandLabel);
        return;
    }
    bench::TrustLatch trust;
    PortalOptions options;
    options.busAddress = env.at("MUTTER_BUS");
    options.onTrustChanged = trust.callback();
    auto portal = PortalEventSystem::create(std::move(options));
    if (!trust.wait(std::chrono::seconds(20))) {
        std::printf("| %s | skipped: no portal session (%s) | | |\n", waylandLabel,
                    portal->status().reason.c_str());
        return;
    }
    const auto folder = std::filesystem::temp_directory_path() / "ravnix-end-to-end-wayland";
    std::filesystem::create_directories(folder);
    auto desktop = makeDesktop(portal, folder);
    if (!desktop) {
        failed = true;
        return;
    }
    // Mutter scales what a new window sees for its first 250 ms or so: the warm-up frames
    // pass that, and every frame waits for its motion.
    float x = 0.40F;
    std::array<FingerSample, 1> finger{{{1, FingerPhase::began, x, 0.5F, 6.0F}}};
    (void)desktop->link->sendFrame({}, 1, finger, MonotonicClock::now());
    std::vector<double> road;
    int missed = 0;
    for (int i = 0; i < warmUp + measured; ++i) {
        x += (i % 2 == 0) ? 0.02F : -0.02F;
        finger[0] = {1, FingerPhase::moved, x, 0.5F, 6.0F};
        const auto start = Clock::now();
        (void)desktop->link->sendFrame({}, 1, finger, MonotonicClock::now());
        const auto seen = probe.next({"motion"}, moveLimit);
        if (i < warmUp) {
            continue;
        }
        if (seen) {
            road.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        } else {
            ++missed;
        }
    }
    desktop->server->stop();
    if (road.empty()) {
        std::printf("| %s | no motion seen (%d frames missed) | | |\n", waylandLabel, missed);
        failed = true;
        return;
    }
    const RoadFigures figures{percentile(road, 0.5), percentile(road, 0.99)};
    const std::string result =
        formatC("median %.0f µs, p99 %.0f µs", figures.median, figures.p99) +
        (missed > 0 ? formatC(" (%d of %d frames not seen)", missed, measured) : "");
    const std::string peer = x11 ? formatC("X11 road (Xvfb), same run: median %.0f µs, p99 %.0f µs",
                                           x11->median, x11->p99)
                                 : std::string("X11 road not measured (no X display)");
    std::printf("| %s | %s | %s | %s |\n", waylandLabel, result.c_str(), peer.c_str(),
                x11 ? formatC("median ratio %.2f to X11", figures.median / x11->median).c_str()
                    : "");
}

void waylandRoad(const std::optional<RoadFigures>& x11, bool& failed) {
    const bench::BenchService mutter("mutter");
    if (!mutter.skip.empty()) {
        std::printf("| %s | skipped: %s | | |\n", waylandLabel, mutter.skip.c_str());
    } else {
        measureWaylandRoad(mutter.env, x11, failed);
    }
}
#endif

// The X11 road and its floor; its figures, when an X display answered.
// `failed` is set when a display answered but the road could not be measured.
std::optional<RoadFigures> x11Road(bool& failed) {
    Display* observer = XOpenDisplay(nullptr);
    auto events = X11EventSystem::open();
    if (observer == nullptr || !events) {
        std::printf("| %s | skipped: no X display | | |\n", label);
        return std::nullopt;
    }
    const auto folder = std::filesystem::temp_directory_path() / "ravnix-end-to-end";
    std::filesystem::create_directories(folder);
    auto desktop = makeDesktop(*events, folder);
    if (!desktop) {
        XCloseDisplay(observer);
        failed = true;
        return std::nullopt;
    }
    auto& link = desktop->link;
    auto& server = desktop->server;

    // One finger that moves left and right by a small step, so the pointer stays near the
    // middle of the screen and every frame moves it.
    XWarpPointer(observer, None, DefaultRootWindow(observer), 0, 0, 0, 0, 700, 450);
    XSync(observer, False);
    float x = 0.20F;
    std::array<FingerSample, 1> finger{{{1, FingerPhase::began, x, 0.5F, 6.0F}}};
    (void)link->sendFrame({}, 1, finger, MonotonicClock::now());
    std::vector<double> road;
    std::vector<double> floor;
    int missed = 0;
    std::uint64_t roundTripsBefore = 0;
    for (int i = 0; i < warmUp + measured; ++i) {
        if (i == warmUp) {
            roundTripsBefore = (*events)->roundTrips();
        }
        x += (i % 2 == 0) ? 0.02F : -0.02F;
        finger[0] = {1, FingerPhase::moved, x, 0.5F, 6.0F};
        const auto frame = timeMove(
            observer, [&] { (void)link->sendFrame({}, 1, finger, MonotonicClock::now()); });
        // The floor: the same kind of motion posted straight through XTEST.
        const Pointer at = query(observer);
        const Point target{static_cast<double>(at.x + ((i % 2 == 0) ? 3 : -3)),
                           static_cast<double>(at.y)};
        const auto direct = timeMove(observer, [&] {
            if (auto event = (*events)->mouseEvent(std::nullopt, MouseEventType::mouseMoved, target,
                                                   MouseButton::left)) {
                (*events)->post(*event);
            }
        });
        if (i < warmUp) {
            continue;
        }
        if (frame) {
            road.push_back(*frame);
        } else {
            ++missed;
        }
        if (direct) {
            floor.push_back(*direct);
        }
    }
    // Posting waits for nothing, so every round trip counted here was made by a frame.
    const double roundTripsPerFrame =
        static_cast<double>((*events)->roundTrips() - roundTripsBefore) / measured;
    server->stop();
    XCloseDisplay(observer);
    if (road.empty() || floor.empty()) {
        std::printf("| %s | no motion seen (%d frames missed) | | |\n", label, missed);
        failed = true;
        return std::nullopt;
    }
    const std::string result =
        formatC("median %.0f µs, p99 %.0f µs, %.2f X round trips per frame", percentile(road, 0.5),
                percentile(road, 0.99), roundTripsPerFrame) +
        (missed > 0 ? formatC(" (%d of %d frames did not move it)", missed, measured) : "");
    std::printf("| %s | %s | XTEST post → pointer moved: median %.0f µs, p99 %.0f µs | ratio "
                "%.2f (≤ 1.5), round trips ≤ 1 |\n",
                label, result.c_str(), percentile(floor, 0.5), percentile(floor, 0.99),
                percentile(road, 0.5) / percentile(floor, 0.5));
    return RoadFigures{percentile(road, 0.5), percentile(road, 0.99)};
}

} // namespace

int main() {
    bool failed = false;
    const auto x11 = x11Road(failed);
#if RAVNIX_HAVE_WAYLAND_ROAD
    std::fflush(stdout);
    waylandRoad(x11, failed);
#endif
    return failed ? 1 : 0;
}
