// The whole road of a frame on one machine: the phone's link sends an authenticated one-finger
// frame over loopback, the link server checks it, the interpreter and injector turn it into
// pointer motion, XTEST posts it, and an observer connection sees the X pointer move. Beside
// it, in the same run, the floor of that road's last part: the same motion posted straight
// through the event system and observed the same way. Needs an X display (DISPLAY); without
// one the row says so.

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

#include <X11/Xlib.h>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <vector>

namespace {

using namespace ravnix;
using Clock = std::chrono::steady_clock;

constexpr int warmUp = 50;
constexpr int measured = 1000;
constexpr auto moveLimit = std::chrono::milliseconds(200);

const std::array<std::uint8_t, 32> key{1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                       12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                                       23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

struct Pointer {
    int x = 0;
    int y = 0;
    bool operator==(const Pointer&) const = default;
};

Pointer query(Display* display) {
    Window root = 0;
    Window child = 0;
    int rootX = 0;
    int rootY = 0;
    int winX = 0;
    int winY = 0;
    unsigned mask = 0;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &winX, &winY,
                  &mask);
    return {rootX, rootY};
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

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    return values[index];
}

const char* const label = "end to end: phone frame sent → X pointer moved (Xvfb, 1,000 frames)";

} // namespace

int main() {
    Display* observer = XOpenDisplay(nullptr);
    auto events = X11EventSystem::open();
    if (observer == nullptr || !events) {
        std::printf("| %s | skipped: no X display | | |\n", label);
        return 0;
    }
    const auto folder = std::filesystem::temp_directory_path() / "ravnix-end-to-end";
    std::filesystem::create_directories(folder);

    auto injector = std::make_shared<PointerInjector>(*events, PointerSettings::standard,
                                                      folder / "tiklama.log");
    auto interpreter = TouchInterpreter::make({injector,
                                               ScrollSettings::standard,
                                               std::make_shared<MemoryPreferences>(),
                                               std::make_shared<AsioMainQueue>(),
                                               folder / "hareket.csv",
                                               {}});
    if (!interpreter) {
        std::fprintf(stderr, "interpreter: %s\n", interpreter.error().text().c_str());
        return 1;
    }
    auto server = LinkServer::make(0, *interpreter);
    if (auto started = server->start(); !started) {
        std::fprintf(stderr, "link server: %s\n", started.error().text().c_str());
        return 1;
    }
    server->updateAuthenticators({PacketAuthenticator(key, 7)});
    auto link = PhoneLink::overUdp(PacketAuthenticator(key, 7),
                                   SocketAddress::make("127.0.0.1", server->boundPort()).value());
    if (!link) {
        std::fprintf(stderr, "phone link: %s\n", link.error().c_str());
        return 1;
    }

    // One finger that moves left and right by a small step, so the pointer stays near the
    // middle of the screen and every frame moves it.
    XWarpPointer(observer, None, DefaultRootWindow(observer), 0, 0, 0, 0, 700, 450);
    XSync(observer, False);
    float x = 0.20F;
    std::array<FingerSample, 1> finger{{{1, FingerPhase::began, x, 0.5F, 6.0F}}};
    (void)(*link)->sendFrame({}, 1, finger, MonotonicClock::now());
    std::vector<double> road;
    std::vector<double> floor;
    int missed = 0;
    for (int i = 0; i < warmUp + measured; ++i) {
        x += (i % 2 == 0) ? 0.02F : -0.02F;
        finger[0] = {1, FingerPhase::moved, x, 0.5F, 6.0F};
        const auto frame = timeMove(
            observer, [&] { (void)(*link)->sendFrame({}, 1, finger, MonotonicClock::now()); });
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
    server->stop();
    XCloseDisplay(observer);
    if (road.empty() || floor.empty()) {
        std::printf("| %s | no motion seen (%d frames missed) | | |\n", label, missed);
        return 1;
    }
    const std::string result =
        formatC("median %.0f µs, p99 %.0f µs", percentile(road, 0.5), percentile(road, 0.99)) +
        (missed > 0 ? formatC(" (%d of %d frames did not move it)", missed, measured) : "");
    std::printf("| %s | %s | XTEST post → pointer moved: median %.0f µs, p99 %.0f µs | ratio "
                "%.2f |\n",
                label, result.c_str(), percentile(floor, 0.5), percentile(floor, 0.99),
                percentile(road, 0.5) / percentile(floor, 0.5));
    return 0;
}
