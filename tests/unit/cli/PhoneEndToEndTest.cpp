// The whole road: the desktop program and the phone program as a user starts them, with
// private XDG folders, file secret stores, avahi on lo and an X server. What the desktop did
// is read back from the X server, its click log and its own output. Every wait is bounded and
// every child is killed in teardown.

#include "RoadSupport.hpp"
#include "guide/DemoFrames.hpp"
#include "guide/GuideCatalog.hpp"
#include "input/PointerInjector.hpp"
#include "input/TouchInterpreter.hpp"
#include "platform/events/RecordingEventSystem.hpp"
#include "support/TestService.hpp"

#include <X11/Xlib.h>
#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace ravnix::test {
namespace {

using namespace std::chrono_literals;
#define RAVNIX_START_ROAD(road)                                                                    \
    RAVNIX_REQUIRE_SERVICE(xvfb, "xvfb");                                                          \
    RAVNIX_REQUIRE_SERVICE(avahi, "avahi");                                                        \
    Road road;                                                                                     \
    ASSERT_TRUE(road.setUp(avahi, {"DISPLAY=" + xvfb["DISPLAY"]}, "--events=x11"))                 \
        << road.desktop.text();

// ---- X11 observation ----

struct XObserver {
    explicit XObserver(const std::string& name) : display(XOpenDisplay(name.c_str())) {}
    ~XObserver() {
        if (window != 0) {
            XDestroyWindow(display, window);
        }
        if (display != nullptr) {
            XCloseDisplay(display);
        }
    }
    std::pair<int, int> pointer() const {
        Window root = 0, child = 0;
        int x = 0, y = 0, wx = 0, wy = 0;
        unsigned buttons = 0;
        XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &wx, &wy,
                      &buttons);
        return {x, y};
    }
    void warp(int x, int y) const {
        XWarpPointer(display, None, DefaultRootWindow(display), 0, 0, 0, 0, x, y);
        XSync(display, False);
    }
    // A window over the whole screen that reports the buttons and motions it receives.
    void listen() {
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.event_mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask;
        window = XCreateWindow(display, DefaultRootWindow(display), 0, 0, 1440, 900, 0,
                               CopyFromParent, InputOutput, CopyFromParent,
                               CWOverrideRedirect | CWEventMask, &attributes);
        XMapRaised(display, window);
        XSync(display, False);
    }
    std::vector<XEvent> events() const {
        std::vector<XEvent> found;
        XSync(display, False);
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            found.push_back(event);
        }
        return found;
    }

    Display* display;
    Window window = 0;
};

// Where the injector's curve puts the pointer after `demo`, starting at (x, y) on one
// 1440 × 900 screen. The X11 backend keeps the fractions between frames, as the recording
// backend does.
std::pair<double, double> predictedPointer(const char* demo, double x, double y) {
    auto events = std::make_shared<RecordingEventSystem>();
    ScreenList screens;
    screens.frames[0] = Rect{0, 0, 1440, 900};
    screens.count = 1;
    events->setScreens(screens);
    events->setPointer(Point{x, y});
    char pattern[] = "/tmp/ravnix-predict-XXXXXX";
    const std::filesystem::path folder = mkdtemp(pattern);
    auto injector = std::make_shared<PointerInjector>(events, PointerSettings::standard,
                                                      folder / "tiklama.log");
    auto interpreter = TouchInterpreter::make(
        {injector, ScrollSettings::standard, nullptr, nullptr, folder / "hareket.csv", {}});
    EXPECT_TRUE(interpreter);
    const auto frames = demoFrames(gestureDemo(demo), {});
    EXPECT_TRUE(frames);
    std::uint32_t sequence = 0;
    for (const DemoFrame& frame : *frames) {
        const TouchHeader header{
            ++sequence,  static_cast<std::uint64_t>(frame.time * 1e9) + 1'000'000'000ULL,
            0,           static_cast<std::uint8_t>(frame.fingers.size()),
            frame.flags, frame.clickCount};
        (*interpreter)->handle(header, frame.fingers);
    }
    const auto at = events->pointerLocation().value_or(Point{x, y});
    interpreter->reset();
    std::filesystem::remove_all(folder);
    return {at.x, at.y};
}

// ---- the tests, in the order of the road ----

TEST(PhoneEndToEndTest, PairingShowsOneCodeOnBothSidesAndStoresBothEnds) {
    RAVNIX_START_ROAD(road);
    const auto pairing = road.pair();
    EXPECT_FALSE(pairing.desktopCode.empty()) << road.desktop.text();
    EXPECT_EQ(pairing.phoneCode, pairing.desktopCode);
    ASSERT_EQ(pairing.status, 0) << pairing.phoneText;
    EXPECT_NE(pairing.phoneText.find("accepted: "), std::string::npos) << pairing.phoneText;

    const std::size_t before = road.desktop.printedSize();
    road.desktop.write("cihazlar\n");
    EXPECT_TRUE(road.desktop.waitFor("1. Test telefonu · Yapay · id=", 3s, before))
        << road.desktop.text();

    // The phone's file store holds the record with the loopback host it connected to.
    bool found = false;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(
             road.folder / "phone" / "data" / "ravnix" / "keychain")) {
        found = found || readFile(entry.path()).find("\"127.0.0.1\"") != std::string::npos;
    }
    EXPECT_TRUE(found) << "no stored pairing with host 127.0.0.1";
    const auto ping = road.phone({"ping", "--count", "3"});
    EXPECT_EQ(ping.status, 0) << ping.text;
    EXPECT_NE(ping.text.find("örnek     3  (kayıp 0"), std::string::npos) << ping.text;
    EXPECT_NE(ping.text.find("saat farkı"), std::string::npos) << ping.text;
}

TEST(PhoneEndToEndTest, ASecondDesktopTakesOtherPortsSaysSoAndBothPair) {
    RAVNIX_REQUIRE_SERVICE(avahi, "avahi");
    Road first;
    ASSERT_TRUE(first.setUp(avahi, {}, "--events=log")) << first.desktop.text();
    Road second;
    ASSERT_TRUE(second.setUp(avahi, {}, "--events=log")) << second.desktop.text();
    // The first holds 9932 and 9933 (or something else does): the second cannot have them.
    const auto log = readFile(second.folder / "desktop" / "state" / "ravnix" / "pencere.log");
    EXPECT_NE(log.find("eslestirme portu 9932/tcp baska bir programda"), std::string::npos) << log;
    EXPECT_NE(log.find("esler arasi portu 9933/udp baska bir programda"), std::string::npos) << log;
    // DNS-SD carries the ports actually bound, so a phone pairs with either.
    EXPECT_EQ(first.pair().status, 0) << first.desktop.text();
    EXPECT_EQ(second.pair().status, 0) << second.desktop.text();
}

TEST(PhoneEndToEndTest, PlayingTheCursorDemoMovesThePointerUpAndRight) {
    RAVNIX_START_ROAD(road);
    ASSERT_EQ(road.pair().status, 0);
    XObserver x(xvfb["DISPLAY"]);
    ASSERT_NE(x.display, nullptr);
    x.warp(400, 600);
    const auto [predictedX, predictedY] = predictedPointer("imlec", 400, 600);
    const auto run = road.phone({"play", "imlec"});
    ASSERT_EQ(run.status, 0) << run.text;
    const auto [endX, endY] = x.pointer();
    const double dx = endX - 400.0;
    const double dy = endY - 600.0;
    const double expectedX = predictedX - 400;
    const double expectedY = predictedY - 600;
    EXPECT_GT(dx, 0);
    EXPECT_LT(dy, 0);
    // The curve smooths speed over frames; arrival jitter on a busy machine changes little,
    // so the X server's travel stays within 10 % (at least 8 px) of the prediction.
    EXPECT_NEAR(dx, expectedX, std::max(8.0, 0.1 * std::abs(expectedX)))
        << "predicted " << expectedX << ", " << expectedY;
    EXPECT_NEAR(dy, expectedY, std::max(8.0, 0.1 * std::abs(expectedY)))
        << "predicted " << expectedX << ", " << expectedY;
}

// Polls, within `limit`, for what no process tells us about: lines in a file, X events.
template <class Predicate> bool eventually(Predicate done, std::chrono::milliseconds limit = 5s) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// The click log's button lines, "solBas state=1" and so on, once `count` have been written (a
// completed click's release comes 55 ms after it), or whatever there is after five seconds.
std::vector<std::string> buttonLines(const Road& road, std::size_t count) {
    std::vector<std::string> buttons;
    eventually([&] {
        buttons.clear();
        std::istringstream log(road.clickLog());
        for (std::string line; std::getline(log, line);) {
            const auto space = line.find(" state=");
            if (space != std::string::npos) {
                buttons.push_back(line.substr(0, line.find(' ', space + 1)));
            }
        }
        return buttons.size() >= count;
    });
    return buttons;
}

TEST(PhoneEndToEndTest, TapsClickOnceAndTwiceAndTwoFingersClickRight) {
    RAVNIX_START_ROAD(road);
    ASSERT_EQ(road.pair().status, 0);
    for (const char* demo : {"sol-tik", "cift-tik", "sag-tik"}) {
        const auto run = road.phone({"play", demo});
        ASSERT_EQ(run.status, 0) << demo << ": " << run.text;
    }
    EXPECT_EQ(buttonLines(road, 8),
              (std::vector<std::string>{"solBas state=1", "solBirak state=1", "solBas state=1",
                                        "solBirak state=1", "solBas state=2", "solBirak state=2",
                                        "sagBas state=1", "sagBirak state=1"}))
        << road.clickLog();
}

// What the desktop posted into a window of the test during `demo`: collected once the
// desktop has logged the end of the demo's contact, until `done` holds for them.
std::vector<XEvent> eventsDuring(Road& road, const TestService& xvfb, const char* demo,
                                 const std::function<bool(const std::vector<XEvent>&)>& done) {
    XObserver x(xvfb["DISPLAY"]);
    EXPECT_NE(x.display, nullptr);
    if (x.display == nullptr) {
        return {};
    }
    x.listen();
    x.warp(700, 450);
    (void)x.events();
    auto contacts = [&] {
        const std::string log = road.clickLog();
        std::size_t count = 0;
        for (auto at = log.find("temas "); at != std::string::npos;
             at = log.find("temas ", at + 1)) {
            ++count;
        }
        return count;
    };
    const std::size_t before = contacts();
    const auto run = road.phone({"play", demo});
    EXPECT_EQ(run.status, 0) << run.text;
    EXPECT_TRUE(eventually([&] { return contacts() > before; })) << road.clickLog();
    std::vector<XEvent> all;
    EXPECT_TRUE(eventually([&] {
        const auto more = x.events();
        all.insert(all.end(), more.begin(), more.end());
        return done(all);
    }));
    return all;
}

// Wheel presses (buttons 4 and 5) among `events`, with and without Control held.
std::pair<int, int> wheelPresses(const std::vector<XEvent>& events, unsigned button) {
    int plain = 0;
    int controlled = 0;
    for (const XEvent& event : events) {
        if (event.type == ButtonPress && event.xbutton.button == button) {
            ((event.xbutton.state & ControlMask) != 0 ? controlled : plain) += 1;
        }
    }
    return {plain, controlled};
}

TEST(PhoneEndToEndTest, TwoFingersScrollAndZoomAndThreeFingersDrag) {
    RAVNIX_START_ROAD(road);
    ASSERT_EQ(road.pair().status, 0);
    const auto scrolled = eventsDuring(road, xvfb, "kaydirma", [](const auto& events) {
        const auto [up, upControlled] = wheelPresses(events, 4);
        const auto [down, downControlled] = wheelPresses(events, 5);
        return up + down + upControlled + downControlled > 3;
    });
    EXPECT_EQ(wheelPresses(scrolled, 4).second + wheelPresses(scrolled, 5).second, 0);
    EXPECT_EQ(wheelPresses(scrolled, 1), std::make_pair(0, 0));

    // Spreading the fingers and closing them again: both wheel directions, all with Control.
    const auto pinched = eventsDuring(road, xvfb, "yakinlastir", [](const auto& events) {
        return wheelPresses(events, 4).second > 0 && wheelPresses(events, 5).second > 0;
    });
    EXPECT_EQ(wheelPresses(pinched, 4).first + wheelPresses(pinched, 5).first, 0);

    // Three fingers drag with the left button held.
    int pressAt = -1;
    int releaseAt = -1;
    int draggedMotions = 0;
    const auto events = eventsDuring(road, xvfb, "uc-parmak-surukleme", [](const auto& all) {
        return std::any_of(all.begin(), all.end(), [](const XEvent& event) {
            return event.type == ButtonRelease && event.xbutton.button == 1;
        });
    });
    for (std::size_t i = 0; i < events.size(); ++i) {
        const XEvent& event = events[i];
        if (event.type == ButtonPress && event.xbutton.button == 1 && pressAt < 0) {
            pressAt = static_cast<int>(i);
        } else if (event.type == ButtonRelease && event.xbutton.button == 1) {
            releaseAt = static_cast<int>(i);
        } else if (event.type == MotionNotify && (event.xmotion.state & Button1Mask) != 0) {
            ++draggedMotions;
        }
    }
    ASSERT_GE(pressAt, 0);
    EXPECT_GT(releaseAt, pressAt);
    EXPECT_GT(draggedMotions, 10);
}

TEST(PhoneEndToEndTest, ThePeerRouteWorksTheSameAndShowsAsAirDrop) {
    RAVNIX_START_ROAD(road);
    ASSERT_EQ(road.pair().status, 0);
    const auto ping = road.phone({"ping", "--count", "3", "--route", "airdrop"});
    EXPECT_EQ(ping.status, 0) << ping.text;
    EXPECT_NE(ping.text.find("örnek     3  (kayıp 0"), std::string::npos) << ping.text;

    XObserver x(xvfb["DISPLAY"]);
    ASSERT_NE(x.display, nullptr);
    x.warp(400, 600);
    const std::size_t before = road.desktop.printedSize();
    const auto run = road.phone({"play", "imlec", "--route", "airdrop"});
    ASSERT_EQ(run.status, 0) << run.text;
    const auto [endX, endY] = x.pointer();
    EXPECT_GT(endX, 400);
    EXPECT_LT(endY, 600);
    EXPECT_TRUE(road.desktop.waitFor("durum: Kullanılıyor · AirDrop", 2s, before))
        << road.desktop.text();
}

TEST(PhoneEndToEndTest, UnpairingOnTheDesktopIsNoticedByThePhone) {
    RAVNIX_START_ROAD(road);
    ASSERT_EQ(road.pair().status, 0);
    const std::size_t before = road.desktop.printedSize();
    road.desktop.write("kaldir 1\n");
    ASSERT_TRUE(road.desktop.waitFor("eşleşme kaldırıldı", 3s, before)) << road.desktop.text();

    const auto run = road.phone({"play", "sol-tik"});
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.text.find("eşleştirmeyi kaldırmış"), std::string::npos) << run.text;
    EXPECT_EQ(road.clickLog().find("solBas"), std::string::npos) << "a refused frame clicked";

    const auto status = road.phone({"status"});
    EXPECT_EQ(status.status, 0) << status.text;
    EXPECT_NE(status.text.find(" eşleştirmeyi kaldırmış. Yeniden eşleşmeniz gerekiyor."),
              std::string::npos)
        << status.text;
    EXPECT_NE(status.text.find("öneri: Eşleştir"), std::string::npos) << status.text;
}

TEST(PhoneEndToEndTest, ARefusalOnEitherSideStoresNothing) {
    RAVNIX_START_ROAD(road);
    const auto refusedByDesktop = road.pair(false, true);
    EXPECT_NE(refusedByDesktop.status.value_or(0), 0);
    EXPECT_NE(refusedByDesktop.phoneText.find("rejected"), std::string::npos)
        << refusedByDesktop.phoneText;

    const auto refusedByPhone = road.pair(true, false);
    EXPECT_NE(refusedByPhone.status.value_or(0), 0);
    EXPECT_EQ(refusedByPhone.phoneText.find("accepted"), std::string::npos);
    EXPECT_TRUE(refusedByPhone.desktopClosed) << road.desktop.text();

    const std::size_t before = road.desktop.printedSize();
    road.desktop.write("cihazlar\n");
    EXPECT_TRUE(road.desktop.waitFor("eşleşmiş cihaz yok", 3s, before)) << road.desktop.text();
    const auto ping = road.phone({"ping", "--count", "1"});
    EXPECT_EQ(ping.status, 1);
    EXPECT_NE(ping.text.find("eşleştirme yok"), std::string::npos) << ping.text;
}

} // namespace
} // namespace ravnix::test
