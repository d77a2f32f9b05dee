// The X11 backend against a real X server (Xvfb): what it posts is read back from the
// server, through XQueryPointer and a window that listens for button presses.

#include "platform/events/x11/X11EventSystem.hpp"

#include "support/TestService.hpp"

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace ravnix {
namespace {

// The backend flushes without waiting for the server, so another client sees the result a
// moment later: wait for it, within a bound.
template <typename Predicate> bool eventually(Predicate predicate) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
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
    EXPECT_EQ(wheelClicks(2, true), (WheelClicks{4, 2}));
    EXPECT_EQ(wheelClicks(-3, true), (WheelClicks{5, 3}));
    EXPECT_EQ(wheelClicks(1, false), (WheelClicks{6, 1}));
    EXPECT_EQ(wheelClicks(-1, false), (WheelClicks{7, 1}));
    EXPECT_FALSE(wheelClicks(0, true));
    EXPECT_EQ(wheelClicks(INT64_MIN, true)->count, 64u);
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
        observer = XOpenDisplay(displayName.c_str());
        ASSERT_NE(observer, nullptr);
    }
    void TearDown() override {
        if (observer != nullptr) {
            XCloseDisplay(observer);
        }
    }
    Point queryPointer(unsigned* mask = nullptr) {
        Window root = 0, child = 0;
        int x = 0, y = 0, wx = 0, wy = 0;
        unsigned buttons = 0;
        XQueryPointer(observer, DefaultRootWindow(observer), &root, &child, &x, &y, &wx, &wy,
                      &buttons);
        if (mask != nullptr) {
            *mask = buttons;
        }
        return {static_cast<double>(x), static_cast<double>(y)};
    }
    void post(MouseEventType type, Point at, MouseButton button = MouseButton::left) {
        events->post(*events->mouseEvent(std::nullopt, type, at, button));
    }

    std::string displayName;
    std::shared_ptr<X11EventSystem> events;
    Display* observer = nullptr;
};

TEST_F(X11Integration, OneScreenMotionAndButtonsReachTheServer) {
    EXPECT_TRUE(events->isTrusted());
    const ScreenList screens = events->screens();
    ASSERT_EQ(screens.count, 1u);
    EXPECT_EQ(screens.frames[0], (Rect{0, 0, 1440, 900}));

    post(MouseEventType::mouseMoved, {300, 200});
    EXPECT_TRUE(eventually([&] { return queryPointer() == Point{300, 200}; }));
    EXPECT_EQ(events->pointerLocation(), (Point{300, 200}));

    // The server keeps the pointer on the screen's last pixel, as the core's clamp does.
    post(MouseEventType::mouseMoved, {1439, 899});
    EXPECT_TRUE(eventually([&] { return queryPointer() == Point{1439, 899}; }));

    auto buttons = [&] {
        unsigned mask = 0;
        queryPointer(&mask);
        return mask;
    };
    post(MouseEventType::leftMouseDown, {500, 400});
    EXPECT_TRUE(eventually([&] { return (buttons() & Button1Mask) != 0; }));
    post(MouseEventType::leftMouseDragged, {520, 410});
    EXPECT_TRUE(eventually([&] { return queryPointer() == Point{520, 410}; }));
    EXPECT_TRUE(buttons() & Button1Mask);
    post(MouseEventType::leftMouseUp, {520, 410});
    EXPECT_TRUE(eventually([&] { return (buttons() & Button1Mask) == 0; }));

    post(MouseEventType::rightMouseDown, {520, 410}, MouseButton::right);
    EXPECT_TRUE(eventually([&] { return (buttons() & Button3Mask) != 0; }));
    post(MouseEventType::rightMouseUp, {520, 410}, MouseButton::right);
    EXPECT_TRUE(eventually([&] { return (buttons() & Button3Mask) == 0; }));
}

TEST_F(X11Integration, ScrollArrivesAsWheelButtonsWithControlForCommand) {
    // A window under the pointer that reports its button presses to the observer.
    const int screen = DefaultScreen(observer);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.event_mask = ButtonPressMask;
    const Window window =
        XCreateWindow(observer, RootWindow(observer, screen), 0, 0, 1440, 900, 0, CopyFromParent,
                      InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
    XMapRaised(observer, window);
    XSync(observer, False);
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

    struct Press {
        unsigned button;
        bool control;
    };
    std::vector<Press> presses;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (presses.size() < 4 && std::chrono::steady_clock::now() < deadline) {
        if (XPending(observer) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        XEvent event;
        XNextEvent(observer, &event);
        if (event.type == ButtonPress) {
            presses.push_back({event.xbutton.button, (event.xbutton.state & ControlMask) != 0});
        }
    }
    XDestroyWindow(observer, window);
    XSync(observer, False);
    ASSERT_EQ(presses.size(), 4u);
    EXPECT_EQ(presses[0].button, 4u);
    EXPECT_EQ(presses[1].button, 4u);
    EXPECT_FALSE(presses[0].control);
    EXPECT_EQ(presses[2].button, 5u);
    EXPECT_EQ(presses[3].button, 7u);
    EXPECT_TRUE(presses[2].control);
    EXPECT_TRUE(presses[3].control);
}

TEST_F(X11Integration, KeyChordPressesAndReleasesItsModifiers) {
    auto key = [&](bool down) {
        auto event = events->keyboardEvent(std::nullopt, 2, down);
        event->setFlags(EventFlags::control | EventFlags::command);
        events->post(*event);
    };
    char keys[32];
    auto isDown = [&](KeySym keysym) {
        XQueryKeymap(observer, keys);
        const KeyCode code = XKeysymToKeycode(observer, keysym);
        return code != 0 && (keys[code / 8] & (1 << (code % 8))) != 0;
    };
    // The key goes down last and up first, so once it is seen the modifiers are settled.
    key(true);
    EXPECT_TRUE(eventually([&] { return isDown(XK_d); }));
    EXPECT_TRUE(isDown(XK_Control_L));
    EXPECT_TRUE(isDown(XK_Super_L) || XKeysymToKeycode(observer, XK_Super_L) == 0);
    key(false);
    EXPECT_TRUE(eventually([&] { return !isDown(XK_Control_L) && !isDown(XK_Super_L); }));
    EXPECT_FALSE(isDown(XK_d));

    // Show desktop (F11 with Fn): without a window manager that offers the toggle, Super+D.
    if (XKeysymToKeycode(observer, XK_Super_L) == 0) {
        GTEST_SKIP() << "this server's keymap has no Super key";
    }
    auto showDesktop = [&](bool down) {
        auto event = events->keyboardEvent(std::nullopt, 103, down);
        event->setFlags(EventFlags::secondaryFn);
        events->post(*event);
    };
    showDesktop(true);
    EXPECT_TRUE(eventually([&] { return isDown(XK_d); }));
    EXPECT_TRUE(isDown(XK_Super_L));
    EXPECT_FALSE(isDown(XK_F11));
    showDesktop(false);
    EXPECT_TRUE(eventually([&] { return !isDown(XK_Super_L); }));
    EXPECT_FALSE(isDown(XK_d));
}

} // namespace
} // namespace ravnix
