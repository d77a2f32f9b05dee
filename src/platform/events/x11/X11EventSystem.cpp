#include "platform/events/x11/X11EventSystem.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/keysym.h>
#include <array>
#include <cerrno>
#include <cmath>
#include <utility>

namespace ravnix {
namespace {

constexpr std::uint16_t kVirtualKeyF11 = 103;
constexpr unsigned kMaximumWheelClicks = 64; // one event never floods the server

struct KeyEntry {
    std::uint16_t code;
    unsigned long keysym;
};

// Virtual key codes of the keyboard layout the phone side speaks, to X keysyms.
constexpr KeyEntry kKeys[] = {
    {0, XK_a},
    {1, XK_s},
    {2, XK_d},
    {3, XK_f},
    {4, XK_h},
    {5, XK_g},
    {6, XK_z},
    {7, XK_x},
    {8, XK_c},
    {9, XK_v},
    {11, XK_b},
    {12, XK_q},
    {13, XK_w},
    {14, XK_e},
    {15, XK_r},
    {16, XK_y},
    {17, XK_t},
    {18, XK_1},
    {19, XK_2},
    {20, XK_3},
    {21, XK_4},
    {22, XK_6},
    {23, XK_5},
    {24, XK_equal},
    {25, XK_9},
    {26, XK_7},
    {27, XK_minus},
    {28, XK_8},
    {29, XK_0},
    {30, XK_bracketright},
    {31, XK_o},
    {32, XK_u},
    {33, XK_bracketleft},
    {34, XK_i},
    {35, XK_p},
    {36, XK_Return},
    {37, XK_l},
    {38, XK_j},
    {39, XK_apostrophe},
    {40, XK_k},
    {41, XK_semicolon},
    {42, XK_backslash},
    {43, XK_comma},
    {44, XK_slash},
    {45, XK_n},
    {46, XK_m},
    {47, XK_period},
    {48, XK_Tab},
    {49, XK_space},
    {50, XK_grave},
    {51, XK_BackSpace},
    {53, XK_Escape},
    {96, XK_F5},
    {97, XK_F6},
    {98, XK_F7},
    {99, XK_F3},
    {100, XK_F8},
    {101, XK_F9},
    {103, XK_F11},
    {105, XK_F13},
    {107, XK_F14},
    {109, XK_F10},
    {111, XK_F12},
    {113, XK_F15},
    {114, XK_Help},
    {115, XK_Home},
    {116, XK_Page_Up},
    {117, XK_Delete},
    {118, XK_F4},
    {119, XK_End},
    {120, XK_F2},
    {121, XK_Page_Down},
    {122, XK_F1},
    {123, XK_Left},
    {124, XK_Right},
    {125, XK_Down},
    {126, XK_Up},
    {65, XK_KP_Decimal},
    {67, XK_KP_Multiply},
    {69, XK_KP_Add},
    {75, XK_KP_Divide},
    {76, XK_KP_Enter},
    {78, XK_KP_Subtract},
    {81, XK_KP_Equal},
    {82, XK_KP_0},
    {83, XK_KP_1},
};

} // namespace

std::optional<unsigned long> keysymForVirtualKey(std::uint16_t keyCode) noexcept {
    for (const auto& entry : kKeys) {
        if (entry.code == keyCode) {
            return entry.keysym;
        }
    }
    return std::nullopt;
}

std::optional<WheelClicks> wheelClicks(std::int64_t lines, bool vertical) noexcept {
    if (lines == 0) {
        return std::nullopt;
    }
    // A positive line count scrolls up (vertical) or left (horizontal), as on the phone side.
    const unsigned button = vertical ? (lines > 0 ? 4u : 5u) : (lines > 0 ? 6u : 7u);
    const std::uint64_t magnitude = lines > 0 ? static_cast<std::uint64_t>(lines)
                                              : static_cast<std::uint64_t>(-(lines + 1)) + 1;
    return WheelClicks{
        button, static_cast<unsigned>(std::min<std::uint64_t>(magnitude, kMaximumWheelClicks))};
}

std::expected<std::shared_ptr<X11EventSystem>, PlatformError>
X11EventSystem::open(const char* displayName) {
    Display* display = XOpenDisplay(displayName);
    if (display == nullptr) {
        return std::unexpected(PlatformError{std::string("XOpenDisplay(") +
                                                 (displayName ? displayName : "$DISPLAY") + ")",
                                             ECONNREFUSED});
    }
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    const bool xtest = XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor) == True;
    return std::shared_ptr<X11EventSystem>(new X11EventSystem(display, xtest));
}

X11EventSystem::X11EventSystem(Display* display, bool hasXTest)
    : display(display), hasXTest(hasXTest) {}

X11EventSystem::~X11EventSystem() {
    XCloseDisplay(display);
}

std::optional<EventSource> X11EventSystem::createEventSource() {
    return EventSource{1};
}

X11EventSystem::PrimaryOrigin X11EventSystem::primaryOriginLocked() {
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
    PrimaryOrigin origin;
    if (monitors != nullptr) {
        // Without a monitor marked primary, the first one stands in (as in screens()).
        int primary = 0;
        for (int i = 0; i < count; ++i) {
            if (monitors[i].primary) {
                primary = i;
                break;
            }
        }
        if (count > 0) {
            origin = {monitors[primary].x, monitors[primary].y};
        }
        XRRFreeMonitors(monitors);
    }
    return origin;
}

std::optional<Point> X11EventSystem::pointerLocation() {
    std::lock_guard lock(displayLock);
    Window root = 0, child = 0;
    int rootX = 0, rootY = 0, winX = 0, winY = 0;
    unsigned mask = 0;
    if (!XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &winX,
                       &winY, &mask)) {
        return std::nullopt; // the pointer is on another screen of this display
    }
    const auto origin = primaryOriginLocked();
    return Point{static_cast<double>(rootX - origin.x), static_cast<double>(rootY - origin.y)};
}

ScreenList X11EventSystem::screens() {
    std::lock_guard lock(displayLock);
    ScreenList list;
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
    if (monitors == nullptr || count == 0) {
        if (monitors != nullptr) {
            XRRFreeMonitors(monitors);
        }
        const int screen = DefaultScreen(display);
        list.add({0, 0, static_cast<double>(DisplayWidth(display, screen)),
                  static_cast<double>(DisplayHeight(display, screen))});
        return list;
    }
    int primary = 0;
    for (int i = 0; i < count; ++i) {
        if (monitors[i].primary) {
            primary = i;
            break;
        }
    }
    const XRRMonitorInfo& p = monitors[primary];
    // Bottom-left frames: y' = primary height − (top relative to the primary) − height.
    auto frame = [&](const XRRMonitorInfo& m) {
        return Rect{static_cast<double>(m.x - p.x),
                    static_cast<double>(p.height - (m.y - p.y) - m.height),
                    static_cast<double>(m.width), static_cast<double>(m.height)};
    };
    list.add(frame(p));
    for (int i = 0; i < count; ++i) {
        if (i != primary) {
            list.add(frame(monitors[i]));
        }
    }
    XRRFreeMonitors(monitors);
    return list;
}

std::optional<InputEvent> X11EventSystem::mouseEvent(std::optional<EventSource> source,
                                                     MouseEventType type, Point location,
                                                     MouseButton button) {
    return InputEvent::mouse(source, type, location, button);
}

std::optional<InputEvent> X11EventSystem::keyboardEvent(std::optional<EventSource> source,
                                                        std::uint16_t keyCode, bool keyDown) {
    return InputEvent::keyboard(source, keyCode, keyDown);
}

std::optional<InputEvent> X11EventSystem::scrollWheelEvent(std::optional<EventSource> source,
                                                           std::int32_t vertical,
                                                           std::int32_t horizontal) {
    return InputEvent::scrollWheel(source, vertical, horizontal);
}

void X11EventSystem::post(const InputEvent& event) {
    if (!hasXTest) {
        return;
    }
    std::lock_guard lock(displayLock);
    switch (event.kind) {
    case InputEvent::Kind::mouse:
        postMouseLocked(event);
        break;
    case InputEvent::Kind::keyboard:
        postKeyLocked(event);
        break;
    case InputEvent::Kind::scrollWheel:
        postScrollLocked(event);
        break;
    }
    XFlush(display);
}

void X11EventSystem::postMouseLocked(const InputEvent& event) {
    const auto origin = primaryOriginLocked();
    const int x = static_cast<int>(std::lround(event.location.x)) + origin.x;
    const int y = static_cast<int>(std::lround(event.location.y)) + origin.y;
    XTestFakeMotionEvent(display, -1, x, y, CurrentTime);
    const unsigned button = event.button == MouseButton::right ? 3 : 1;
    switch (event.mouseType) {
    case MouseEventType::leftMouseDown:
    case MouseEventType::rightMouseDown:
        XTestFakeButtonEvent(display, button, True, CurrentTime);
        break;
    case MouseEventType::leftMouseUp:
    case MouseEventType::rightMouseUp:
        XTestFakeButtonEvent(display, button, False, CurrentTime);
        break;
    case MouseEventType::mouseMoved:
    case MouseEventType::leftMouseDragged:
        break;
    }
}

void X11EventSystem::fakeKeysymLocked(unsigned long keysym, bool down) {
    const KeyCode code = XKeysymToKeycode(display, keysym);
    if (code != 0) {
        XTestFakeKeyEvent(display, code, down ? True : False, CurrentTime);
    }
}

void X11EventSystem::pressModifiersLocked(std::uint64_t flags, bool down, bool commandIsControl) {
    // Pressed in this order, released in the reverse one. Fn has no X counterpart.
    std::array<unsigned long, 4> held{};
    std::size_t count = 0;
    if (flags & EventFlags::shift) {
        held[count++] = XK_Shift_L;
    }
    if ((flags & EventFlags::control) || (commandIsControl && (flags & EventFlags::command))) {
        held[count++] = XK_Control_L;
    }
    if (flags & EventFlags::option) {
        held[count++] = XK_Alt_L;
    }
    if (!commandIsControl && (flags & EventFlags::command)) {
        held[count++] = XK_Super_L;
    }
    if (down) {
        for (std::size_t i = 0; i < count; ++i) {
            fakeKeysymLocked(held[i], true);
        }
    } else {
        for (std::size_t i = count; i-- > 0;) {
            fakeKeysymLocked(held[i], false);
        }
    }
}

bool X11EventSystem::toggleShowingDesktopLocked() {
    const Window root = DefaultRootWindow(display);
    const Atom supported = XInternAtom(display, "_NET_SUPPORTED", True);
    const Atom showing = XInternAtom(display, "_NET_SHOWING_DESKTOP", True);
    if (supported == None || showing == None) {
        return false;
    }
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    bool isSupported = false;
    if (XGetWindowProperty(display, root, supported, 0, 4096, False, XA_ATOM, &type, &format,
                           &count, &after, &data) == Success &&
        data != nullptr) {
        const auto* atoms = reinterpret_cast<const Atom*>(data);
        for (unsigned long i = 0; i < count; ++i) {
            isSupported = isSupported || atoms[i] == showing;
        }
        XFree(data);
    }
    if (!isSupported) {
        return false;
    }
    long current = 0;
    data = nullptr;
    if (XGetWindowProperty(display, root, showing, 0, 1, False, XA_CARDINAL, &type, &format, &count,
                           &after, &data) == Success &&
        data != nullptr) {
        if (count > 0) {
            current = *reinterpret_cast<const long*>(data);
        }
        XFree(data);
    }
    XEvent message{};
    message.xclient.type = ClientMessage;
    message.xclient.window = root;
    message.xclient.message_type = showing;
    message.xclient.format = 32;
    message.xclient.data.l[0] = current ? 0 : 1;
    XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &message);
    return true;
}

void X11EventSystem::postKeyLocked(const InputEvent& event) {
    // The show-desktop hot key: the window manager's own toggle where it has one, else Super+D.
    if (event.keyCode == kVirtualKeyF11 && (event.flags & EventFlags::secondaryFn)) {
        if (toggleShowingDesktopLocked()) {
            return; // the up event finds the same answer and does nothing
        }
        if (event.keyDown) {
            fakeKeysymLocked(XK_Super_L, true);
            fakeKeysymLocked(XK_d, true);
        } else {
            fakeKeysymLocked(XK_d, false);
            fakeKeysymLocked(XK_Super_L, false);
        }
        return;
    }
    const auto keysym = keysymForVirtualKey(event.keyCode);
    if (!keysym) {
        return;
    }
    if (event.keyDown) {
        pressModifiersLocked(event.flags, true, false);
        fakeKeysymLocked(*keysym, true);
    } else {
        fakeKeysymLocked(*keysym, false);
        pressModifiersLocked(event.flags, false, false);
    }
}

void X11EventSystem::postScrollLocked(const InputEvent& event) {
    const auto vertical =
        wheelClicks(event.integerField(EventField::scrollDeltaAxis1).value_or(0), true);
    const auto horizontal =
        wheelClicks(event.integerField(EventField::scrollDeltaAxis2).value_or(0), false);
    if (!vertical && !horizontal) {
        return;
    }
    // Applications zoom on Ctrl+wheel here, so Command becomes Control.
    pressModifiersLocked(event.flags, true, true);
    for (const auto& clicks : {vertical, horizontal}) {
        if (!clicks) {
            continue;
        }
        for (unsigned i = 0; i < clicks->count; ++i) {
            XTestFakeButtonEvent(display, clicks->button, True, CurrentTime);
            XTestFakeButtonEvent(display, clicks->button, False, CurrentTime);
        }
    }
    pressModifiersLocked(event.flags, false, true);
}

} // namespace ravnix
