// The X11 backend against real X servers: what it posts is read back from the server, through
// XQueryPointer, root-window properties and a window that listens for button presses. The
// shared Xvfb serves most cases; a window manager runs on a display of its own (the openbox
// service), and the cases that end or resize a server start a private one.

#include "platform/events/x11/X11EventSystem.hpp"

#include "input/PointerInjector.hpp"
#include "support/TestService.hpp"
#include "unit/cli/ProcessSupport.hpp"
#include "unit/platform/events/XObserver.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <cmath>
#include <csignal>
#include <gtest/gtest.h>
#include <numbers>
#include <sys/wait.h>
#include <unistd.h>

namespace ravnix {
namespace {

using test::eventually;
using Observer = test::XObserver;

// A program of the X packages, started with DISPLAY set; none when it is not installed.
std::unique_ptr<test::RavnixProcess> startTool(const std::string& name,
                                               const std::vector<std::string>& arguments,
                                               const std::string& display) {
    auto process = std::make_unique<test::RavnixProcess>("/usr/bin/" + name);
    const bool started =
        ::access(("/usr/bin/" + name).c_str(), X_OK) == 0 &&
        process->start(arguments, {"DISPLAY=" + display, "PATH=/usr/bin:/bin"}, "/dev/null");
    return started ? std::move(process) : nullptr;
}

// Its standard output when it read `input` and ended with 0.
std::optional<std::string> runTool(const std::string& name,
                                   const std::vector<std::string>& arguments,
                                   const std::string& display, const std::string& input = {}) {
    auto tool = startTool(name, arguments, display);
    if (!tool) {
        return std::nullopt;
    }
    tool->writeInput(input);
    tool->closeInput();
    const auto status = tool->waitForExit();
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
        return std::nullopt;
    }
    return tool->stdoutText();
}

// An X server this test starts and ends itself (Xvfb or Xephyr); it prints its display number
// once it listens.
struct PrivateServer {
    static std::unique_ptr<PrivateServer> start(const std::string& name,
                                                std::vector<std::string> arguments,
                                                const std::string& hostDisplay = {}) {
        arguments.insert(arguments.end(), {"-displayfd", "1", "-nolisten", "tcp"});
        auto server = std::make_unique<PrivateServer>();
        server->process = startTool(name, arguments, hostDisplay);
        if (!server->process || !server->process->waitForOutput("\n")) {
            return nullptr;
        }
        const std::string& printed = server->process->stdoutText();
        server->display = ":" + printed.substr(0, printed.find('\n'));
        return server;
    }
    void stop() {
        process->signal(SIGTERM);
        process->waitForExit();
    }

    std::unique_ptr<test::RavnixProcess> process; // killed with the server at the latest
    std::string display;
};

void postMouse(EventSystem& events, MouseEventType type, Point at,
               MouseButton button = MouseButton::left) {
    events.post(*events.mouseEvent(std::nullopt, type, at, button));
}

TEST(X11KeyTable, TranslatesTheKeysTheCoreSends) {
    EXPECT_EQ(keysymForVirtualKey(2), static_cast<unsigned long>(XK_d));
    EXPECT_EQ(keysymForVirtualKey(103), static_cast<unsigned long>(XK_F11));
    EXPECT_EQ(keysymForVirtualKey(0), static_cast<unsigned long>(XK_a));
    EXPECT_EQ(keysymForVirtualKey(126), static_cast<unsigned long>(XK_Up));
    EXPECT_FALSE(keysymForVirtualKey(10)); // no key there on the layout
    EXPECT_FALSE(keysymForVirtualKey(0xFFFF));
}

TEST(X11WheelClicks, SignPicksTheButtonAndCountsAreCapped) {
    // Buttons 4, 5 and 7 are read back from the server below.
    EXPECT_EQ(wheelClicks(1, false), (WheelClicks{6, 1}));
    EXPECT_FALSE(wheelClicks(0, true));
    EXPECT_EQ(wheelClicks(INT64_MIN, true)->count, 64u);
}

TEST(X11Resources, XftDpiIsReadFromTheDatabaseText) {
    EXPECT_EQ(xftDpi("Xft.antialias:\t1\nXft.dpi:\t192\nXft.hinting:\t1\n"), 192.0);
    EXPECT_EQ(xftDpi("Xft.dpi: 144.5"), 144.5); // last line without a line feed
    EXPECT_FALSE(xftDpi("Xft.antialias:\t1\n"));
    EXPECT_FALSE(xftDpi("Xft.dpiScale:\t2\n*dpi:\t192\n")); // other resources
    EXPECT_FALSE(xftDpi("Xft.dpi:\tlarge\n"));
    EXPECT_FALSE(xftDpi("Xft.dpi:\t0\n")); // no desktop has that
    EXPECT_FALSE(xftDpi(""));
}

class X11Integration : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto service = test::loadTestService("xvfb");
        if (!service.isAvailable()) {
            GTEST_SKIP() << "xvfb: " << service.skipReason;
        }
        displayName = service["DISPLAY"];
        auto opened = X11EventSystem::open(displayName.c_str());
        ASSERT_TRUE(opened) << opened.error().text();
        events = *opened;
        observer = std::make_unique<Observer>(displayName);
        ASSERT_NE(observer->display, nullptr);
    }
    void post(MouseEventType type, Point at, MouseButton button = MouseButton::left) {
        postMouse(*events, type, at, button);
    }

    struct Swipe {
        Point steps;  // what the injector's steps add up to, in points
        Point pixels; // how far the X pointer went
    };
    // A one-finger stroke through the real injector: `frames` steps of (dx, dy) touch units at
    // 120 frames a second, starting at (400, 300).
    Swipe swipe(const std::shared_ptr<X11EventSystem>& backend, int frames, double dx, double dy) {
        PointerInjector injector(backend, PointerSettings::standard, {});
        observer->warp(400, 300);
        const Point start = observer->pointer();
        Swipe result;
        for (int i = 0; i < frames; ++i) {
            injector.move(dx, dy, 1.0 / 120);
            result.steps.x += injector.lastStep().moveX;
            result.steps.y += injector.lastStep().moveY;
        }
        backend->pointerLocation(); // its answer comes after every motion was carried out
        const Point end = observer->pointer();
        result.pixels = {end.x - start.x, end.y - start.y};
        return result;
    }
    static void expectSameTravel(Point pixels, Point expected, const char* what) {
        const double length = std::hypot(pixels.x, pixels.y);
        const double wanted = std::hypot(expected.x, expected.y);
        EXPECT_NEAR(length, wanted, std::max(1.0, 0.02 * wanted)) << what;
        const double degrees =
            (std::atan2(pixels.y, pixels.x) - std::atan2(expected.y, expected.x)) * 180 /
            std::numbers::pi;
        EXPECT_LE(std::abs(degrees), 2.0) << what << ": went (" << pixels.x << ", " << pixels.y
                                          << ") for (" << expected.x << ", " << expected.y << ")";
    }

    std::string displayName;
    std::shared_ptr<X11EventSystem> events;
    std::unique_ptr<Observer> observer;
};

TEST_F(X11Integration, OneScreenMotionAndButtonsReachTheServer) {
    const ScreenList screens = events->screens();
    ASSERT_EQ(screens.count, 1u);
    EXPECT_EQ(screens.frames[0], (Rect{0, 0, 1440, 900}));

    post(MouseEventType::mouseMoved, {300, 200});
    EXPECT_TRUE(eventually([&] { return observer->pointer() == Point{300, 200}; }));
    EXPECT_EQ(events->pointerLocation(), (Point{300, 200}));

    // The server keeps the pointer on the screen's last pixel, as the core's clamp does.
    post(MouseEventType::mouseMoved, {1439, 899});
    EXPECT_TRUE(eventually([&] { return observer->pointer() == Point{1439, 899}; }));

    auto buttons = [&] {
        unsigned mask = 0;
        observer->pointer(&mask);
        return mask;
    };
    post(MouseEventType::leftMouseDown, {500, 400});
    EXPECT_TRUE(eventually([&] { return (buttons() & Button1Mask) != 0; }));
    post(MouseEventType::leftMouseDragged, {520, 410});
    EXPECT_TRUE(eventually([&] { return observer->pointer() == Point{520, 410}; }));
    EXPECT_TRUE(buttons() & Button1Mask);
    post(MouseEventType::leftMouseUp, {520, 410});
    EXPECT_TRUE(eventually([&] { return (buttons() & Button1Mask) == 0; }));

    post(MouseEventType::rightMouseDown, {520, 410}, MouseButton::right);
    EXPECT_TRUE(eventually([&] { return (buttons() & Button3Mask) != 0; }));
    post(MouseEventType::rightMouseUp, {520, 410}, MouseButton::right);
    EXPECT_TRUE(eventually([&] { return (buttons() & Button3Mask) == 0; }));
}

TEST_F(X11Integration, FractionsAddUpAndAnotherDevicesMovesAreKept) {
    std::uint64_t now = 1'000'000'000;
    auto backend = X11EventSystem::open(displayName.c_str(), {}, [&now] { return now; }).value();
    observer->warp(100, 100);
    ASSERT_EQ(backend->pointerLocation(), (Point{100, 100}));
    // Forty steps of 0.3 px stay on whole pixels at the server but add up to 12 px here.
    Point at{100, 100};
    for (int i = 0; i < 40; ++i) {
        at.x += 0.3;
        postMouse(*backend, MouseEventType::mouseMoved, at);
        const auto read = backend->pointerLocation();
        ASSERT_TRUE(read);
        ASSERT_NEAR(read->x, at.x, 1e-9) << "step " << i;
        at = *read;
    }
    EXPECT_EQ(observer->pointer(), (Point{112, 100}));

    // Another device moves the pointer between two frames: the next step is added to where it
    // went, not to where we had left it, and the frame after that knows the new place.
    observer->warp(300, 300);
    postMouse(*backend, MouseEventType::mouseMoved, {at.x + 5, at.y});
    EXPECT_TRUE(eventually([&] { return observer->pointer() == Point{305, 300}; }));
    EXPECT_EQ(backend->pointerLocation(), (Point{305, 300}));

    // After a pause, the pointer is asked again, so a move by someone else wins.
    observer->warp(700, 500);
    now += 10 * X11EventSystem::queryFreshness;
    const std::uint64_t before = backend->roundTrips();
    EXPECT_EQ(backend->pointerLocation(), (Point{700, 500}));
    EXPECT_EQ(backend->roundTrips() - before, 1u);
}

TEST_F(X11Integration, SwipesTravelTheSumOfTheirStepsAtTheDesktopsScale) {
    // A slow stroke whose steps are mostly below a pixel.
    const Swipe slow = swipe(events, 60, 0.0012, 0.00046);
    expectSameTravel(slow.pixels, slow.steps, "slow swipe");
    EXPECT_GT(std::hypot(slow.steps.x, slow.steps.y), 20.0);

    // The same strokes on a desktop at 192 dpi cover twice the pixels.
    const auto saved = runTool("xrdb", {"-query"}, displayName);
    if (!saved) {
        GTEST_SKIP() << "xrdb (x11-xserver-utils) did not run";
    }
    ASSERT_TRUE(runTool("xrdb", {"-merge"}, displayName, "Xft.dpi: 192\n"));
    auto scaled = X11EventSystem::open(displayName.c_str());
    // Put the database back before anything can fail.
    ASSERT_TRUE(saved->empty() ? runTool("xrdb", {"-remove"}, displayName)
                               : runTool("xrdb", {"-load"}, displayName, *saved));
    ASSERT_TRUE(scaled) << scaled.error().text();
    EXPECT_EQ((*scaled)->scale(), 2.0);
    EXPECT_EQ((*scaled)->scaleDescription(), "olcek=2.00 (Xft.dpi 192)");
    EXPECT_EQ((*scaled)->screens().frames[0], (Rect{0, 0, 720, 450}));
    const Swipe slow2 = swipe(*scaled, 60, 0.0012, 0.00046);
    expectSameTravel(slow2.pixels, {2 * slow2.steps.x, 2 * slow2.steps.y}, "slow swipe at 2x");

    // The application's own scale and double-click interval win over the server's.
    auto chosen =
        X11EventSystem::open(displayName.c_str(), {.scale = 1.5, .doubleClickInterval = 0.4});
    ASSERT_TRUE(chosen);
    EXPECT_EQ((*chosen)->scaleDescription(), "olcek=1.50 (uygulama)");
    EXPECT_EQ((*chosen)->doubleClickInterval(), 0.4);
    EXPECT_EQ(events->scaleDescription(), "olcek=1.00 (Xft.dpi yok)");
}

TEST_F(X11Integration, AStrokeWaitsForAtMostOneReplyPerFrame) {
    PointerInjector injector(events, PointerSettings::standard, {});
    observer->warp(300, 300);
    injector.move(0.003, 0.001, 1.0 / 120); // the first frame reads the monitors too
    const std::uint64_t before = events->roundTrips();
    constexpr int frames = 50;
    for (int i = 0; i < frames; ++i) {
        injector.move(i % 2 == 0 ? 0.003 : -0.003, 0.001, 1.0 / 120);
    }
    EXPECT_LE(events->roundTrips() - before, static_cast<std::uint64_t>(frames));
}

TEST_F(X11Integration, ScrollArrivesAsWheelButtonsWithControlForCommand) {
    observer->listen();
    post(MouseEventType::mouseMoved, {700, 400});
    auto scroll = [&](std::int64_t vertical, std::int64_t horizontal, std::uint64_t flags) {
        auto event = events->scrollWheelEvent(std::nullopt, 0, 0);
        event->setIntegerField(EventField::scrollDeltaAxis1, vertical);
        event->setIntegerField(EventField::scrollDeltaAxis2, horizontal);
        event->setFlags(flags);
        events->post(*event);
    };
    scroll(2, 0, 0);
    scroll(-1, -1, EventFlags::command);

    // Button and whether Control was held, per press.
    std::vector<std::pair<unsigned, bool>> presses;
    EXPECT_TRUE(eventually([&] {
        for (const XEvent& event : observer->events()) {
            if (event.type == ButtonPress) {
                presses.emplace_back(event.xbutton.button,
                                     (event.xbutton.state & ControlMask) != 0);
            }
        }
        return presses.size() >= 4;
    }));
    EXPECT_EQ(presses, (std::vector<std::pair<unsigned, bool>>{
                           {4, false}, {4, false}, {5, true}, {7, true}}));
}

TEST_F(X11Integration, KeyChordPressesAndReleasesItsModifiers) {
    Display* display = observer->display;
    auto key = [&](std::uint16_t code, std::uint64_t flags, bool down) {
        auto event = events->keyboardEvent(std::nullopt, code, down);
        event->setFlags(flags);
        events->post(*event);
    };
    char keys[32];
    auto isDown = [&](KeySym keysym) {
        XQueryKeymap(display, keys);
        const KeyCode code = XKeysymToKeycode(display, keysym);
        return code != 0 && (keys[code / 8] & (1 << (code % 8))) != 0;
    };
    // The key goes down last and up first, so once it is seen the modifiers are settled.
    key(2, EventFlags::control | EventFlags::command, true);
    EXPECT_TRUE(eventually([&] { return isDown(XK_d); }));
    EXPECT_TRUE(isDown(XK_Control_L));
    EXPECT_TRUE(isDown(XK_Super_L) || XKeysymToKeycode(display, XK_Super_L) == 0);
    key(2, EventFlags::control | EventFlags::command, false);
    EXPECT_TRUE(eventually([&] { return !isDown(XK_Control_L) && !isDown(XK_Super_L); }));
    EXPECT_FALSE(isDown(XK_d));

    // Show desktop (F11 with Fn) without a window manager that offers the toggle: Super+D.
    // A window manager that died without cleaning up left its hints behind; its check window
    // is gone, and asking it is an error the backend survives.
    if (XKeysymToKeycode(display, XK_Super_L) == 0) {
        GTEST_SKIP() << "this server's keymap has no Super key";
    }
    const Window root = DefaultRootWindow(display);
    const Window gone = XCreateSimpleWindow(display, root, 0, 0, 1, 1, 0, 0, 0);
    XDestroyWindow(display, gone);
    const Atom check = observer->atom("_NET_SUPPORTING_WM_CHECK");
    const Atom supported = observer->atom("_NET_SUPPORTED");
    const long showing = static_cast<long>(observer->atom("_NET_SHOWING_DESKTOP"));
    const long goneId = static_cast<long>(gone);
    XChangeProperty(display, root, check, XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&goneId), 1);
    XChangeProperty(display, root, supported, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&showing), 1);
    XSync(display, False);
    key(103, EventFlags::secondaryFn, true);
    EXPECT_TRUE(eventually([&] { return isDown(XK_d); }));
    EXPECT_TRUE(isDown(XK_Super_L));
    EXPECT_FALSE(isDown(XK_F11));
    key(103, EventFlags::secondaryFn, false);
    EXPECT_TRUE(eventually([&] { return !isDown(XK_Super_L); }));
    EXPECT_FALSE(isDown(XK_d));
    XDeleteProperty(display, root, check);
    XDeleteProperty(display, root, supported);
    XSync(display, False);
    EXPECT_TRUE(events->isTrusted());
}

TEST_F(X11Integration, AResizedScreenHoldsTheNextFramesClamp) {
    // Xvfb cannot change its size; Xephyr, nested in the test display, can.
    auto server = PrivateServer::start("Xephyr", {"-screen", "1024x768"}, displayName);
    if (!server) {
        GTEST_SKIP() << "Xephyr (xserver-xephyr) did not start";
    }
    auto nested = X11EventSystem::open(server->display.c_str());
    ASSERT_TRUE(nested) << nested.error().text();
    Observer inside(server->display);
    ASSERT_NE(inside.display, nullptr);
    PointerInjector injector(*nested, PointerSettings::standard, {});
    auto stepRight = [&] {
        injector.move(0.2, 0, 0.5); // one long step: the jump limit's 120 pt
        (*nested)->pointerLocation();
        return inside.pointer();
    };
    inside.warp(1000, 300);
    EXPECT_EQ(stepRight(), (Point{1023, 300}));

    ASSERT_TRUE(runTool("xrandr", {"--output", "default", "--mode", "1280x1024"}, server->display));
    // The change notification is on the backend's connection before xrandr returns.
    EXPECT_EQ((*nested)->screens().frames[0], (Rect{0, 0, 1280, 1024}));
    inside.warp(1000, 300);
    EXPECT_EQ(stepRight(), (Point{1120, 300}));
}

TEST(X11LostServer, TheProcessLivesAndTheBackendReconnects) {
    auto server = PrivateServer::start("Xvfb", {"-screen", "0", "800x600x24"});
    if (!server) {
        GTEST_SKIP() << "a private Xvfb did not start";
    }
    const std::string name = server->display;
    auto events = X11EventSystem::open(name.c_str()).value();
    {
        Observer observer(name);
        postMouse(*events, MouseEventType::mouseMoved, {100, 100});
        EXPECT_TRUE(eventually([&] { return observer.pointer() == Point{100, 100}; }));
    }

    server->stop();
    // Frames keep coming: dropped, and the process goes on.
    for (int i = 0; i < 20; ++i) {
        postMouse(*events, MouseEventType::mouseMoved, {100.0 + i, 100});
    }
    EXPECT_TRUE(eventually([&] { return !events->isTrusted(); }));
    EXPECT_FALSE(events->pointerLocation());
    EXPECT_TRUE(events->screens().empty());
    ASSERT_TRUE(events->untrustedReason());
    EXPECT_NE(events->untrustedReason()->find("bağlantı koptu"), std::string::npos);

    auto again = PrivateServer::start("Xvfb", {name, "-screen", "0", "800x600x24"});
    ASSERT_TRUE(again) << "Xvfb did not start again on " << name;
    EXPECT_TRUE(eventually([&] { return events->isTrusted(); }));
    Observer observer(name);
    ASSERT_NE(observer.display, nullptr);
    postMouse(*events, MouseEventType::mouseMoved, {200, 150});
    EXPECT_TRUE(eventually([&] { return observer.pointer() == Point{200, 150}; }));
    EXPECT_EQ(events->reconnections(), 1u);
    EXPECT_FALSE(events->untrustedReason());
}

TEST(X11WindowManager, ShowDesktopTogglesOnceOnKeyDown) {
    RAVNIX_REQUIRE_SERVICE(openbox, "openbox");
    const std::string name = openbox["DISPLAY"];
    auto events = X11EventSystem::open(name.c_str()).value();
    Observer observer(name);
    ASSERT_NE(observer.display, nullptr);
    auto gesture = [&](bool down) {
        auto event = events->keyboardEvent(std::nullopt, 103, down);
        event->setFlags(EventFlags::secondaryFn);
        events->post(*event);
    };
    auto showing = [&] { return observer.rootCardinal("_NET_SHOWING_DESKTOP"); };
    // Everything sent before this is handled by the window manager once it returns: the
    // backend's own query is answered after its earlier requests, and the window manager
    // handles its messages in order, the desktop-count request last.
    auto settled = [&] {
        events->pointerLocation();
        const long desktops = observer.rootCardinal("_NET_NUMBER_OF_DESKTOPS");
        observer.sendRootMessage("_NET_NUMBER_OF_DESKTOPS", desktops + 1);
        const bool grew = eventually(
            [&] { return observer.rootCardinal("_NET_NUMBER_OF_DESKTOPS") == desktops + 1; });
        observer.sendRootMessage("_NET_NUMBER_OF_DESKTOPS", desktops);
        return grew && eventually([&] {
                   return observer.rootCardinal("_NET_NUMBER_OF_DESKTOPS") == desktops;
               });
    };
    ASSERT_EQ(showing(), 0);

    gesture(true);
    EXPECT_TRUE(eventually([&] { return showing() == 1; }));
    gesture(false);
    ASSERT_TRUE(settled());
    EXPECT_EQ(showing(), 1) << "the key-up toggled again";

    gesture(true);
    EXPECT_TRUE(eventually([&] { return showing() == 0; }));
    gesture(false);
    ASSERT_TRUE(settled());
    EXPECT_EQ(showing(), 0);
}

} // namespace
} // namespace ravnix
