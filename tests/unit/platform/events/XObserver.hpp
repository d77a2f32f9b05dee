#pragma once
// A second client of an X server that reads back what the backend under test did, and a
// bounded wait for what another client sees a moment later.

#include "platform/events/EventSystem.hpp"
#include "support/Eventually.hpp"

#include <X11/Xlib.h>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace ravnix::test {

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
    XObserver(const XObserver&) = delete;
    XObserver& operator=(const XObserver&) = delete;

    Point pointer(unsigned* mask = nullptr) const {
        Window root = 0, child = 0;
        int x = 0, y = 0, wx = 0, wy = 0;
        unsigned buttons = 0;
        XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &wx, &wy,
                      &buttons);
        if (mask != nullptr) {
            *mask = buttons;
        }
        return {static_cast<double>(x), static_cast<double>(y)};
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
            found.emplace_back();
            XNextEvent(display, &found.back());
        }
        return found;
    }

    Atom atom(const char* name) const { return XInternAtom(display, name, False); }
    // A 32-bit root property's first value; -1 when it is not there.
    long rootCardinal(const char* name) const {
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        long value = -1;
        if (XGetWindowProperty(display, DefaultRootWindow(display), atom(name), 0, 1, False,
                               AnyPropertyType, &type, &format, &count, &after, &data) == Success &&
            data != nullptr) {
            if (count > 0 && format == 32) {
                value = *reinterpret_cast<const long*>(data);
            }
            XFree(data);
        }
        return value;
    }
    void sendRootMessage(const char* name, long value) const {
        XEvent message{};
        message.xclient.type = ClientMessage;
        message.xclient.window = DefaultRootWindow(display);
        message.xclient.message_type = atom(name);
        message.xclient.format = 32;
        message.xclient.data.l[0] = value;
        XSendEvent(display, DefaultRootWindow(display), False,
                   SubstructureRedirectMask | SubstructureNotifyMask, &message);
        XSync(display, False);
    }

    Display* display;
    Window window = 0;
};

} // namespace ravnix::test
