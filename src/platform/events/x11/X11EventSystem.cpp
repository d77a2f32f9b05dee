#include "platform/events/x11/X11EventSystem.hpp"

#include "transport/CFormat.hpp"
#include "transport/MonotonicClock.hpp"

#include <X11/keysym.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>
#include <xcb/xtest.h>

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

// Scales outside this range are not a desktop's: a typo in a resource or a caller's bug.
constexpr double kMinimumScale = 0.25;
constexpr double kMaximumScale = 10.0;
constexpr double kReferenceDpi = 96.0;

bool isPlausibleScale(double scale) noexcept {
    return std::isfinite(scale) && scale >= kMinimumScale && scale <= kMaximumScale;
}

std::string_view trimmed(std::string_view text) noexcept {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::int16_t toInt16(double value) noexcept {
    return static_cast<std::int16_t>(std::clamp(std::lround(value), -32768L, 32767L));
}

// A reply of a request sent earlier; the caller frees it.
struct ReplyDeleter {
    void operator()(void* reply) const noexcept { std::free(reply); }
};
template <typename T> using Reply = std::unique_ptr<T, ReplyDeleter>;

// Takes a reply and drops the error, if any: every caller treats a refused request as
// "no answer".
template <typename T> Reply<T> reply(T* value, xcb_generic_error_t* error) noexcept {
    std::free(error);
    return Reply<T>(value);
}

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

std::optional<double> xftDpi(std::string_view resources) noexcept {
    std::size_t start = 0;
    while (start < resources.size()) {
        auto end = resources.find('\n', start);
        if (end == std::string_view::npos) {
            end = resources.size();
        }
        const std::string_view line = resources.substr(start, end - start);
        start = end + 1;
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || trimmed(line.substr(0, colon)) != "Xft.dpi") {
            continue;
        }
        const std::string_view value = trimmed(line.substr(colon + 1));
        double dpi = 0;
        const auto [rest, failure] =
            std::from_chars(value.data(), value.data() + value.size(), dpi);
        if (failure != std::errc() || rest != value.data() + value.size() ||
            !isPlausibleScale(dpi / kReferenceDpi)) {
            return std::nullopt;
        }
        return dpi;
    }
    return std::nullopt;
}

// Everything that belongs to one connection to the server; replaced whole on reconnection.
struct X11EventSystem::Link {
    struct Monitor {
        int x = 0;
        int y = 0;
        int width = 0;
        int height = 0;
    };

    xcb_connection_t* connection = nullptr;
    xcb_window_t root = XCB_NONE; // of the default screen
    bool hasXTest = false;
    bool hasRandr = false;
    bool hasMonitors = false; // RandR 1.5
    bool isXwayland = false;  // the server is a Wayland compositor's XWayland
    std::uint8_t randrEventBase = 0;
    xcb_atom_t supportingWmCheck = XCB_NONE;
    xcb_atom_t supported = XCB_NONE;
    xcb_atom_t showingDesktop = XCB_NONE;
    std::optional<double> resourceDpi;

    // The keyboard mapping, read when a key is first posted and again after the server says
    // it changed.
    std::uint8_t minKeycode = 8;
    std::uint8_t maxKeycode = 255;
    std::vector<xcb_keysym_t> keysyms;
    std::uint8_t keysymsPerKeycode = 0;
    bool isKeymapValid = false;

    // Monitors in root pixels, primary first, and the same as core frames; read again after a
    // RandR notification.
    std::array<Monitor, ScreenList::capacity> monitors{};
    std::size_t monitorCount = 0;
    ScreenList frames;
    bool isMonitorListValid = false;
};

void X11EventSystem::LinkCloser::operator()(Link* link) const noexcept {
    xcb_disconnect(link->connection);
    delete link;
}

std::expected<X11EventSystem::LinkPointer, PlatformError>
X11EventSystem::connect(const std::string& displayName) {
    int screenNumber = 0;
    xcb_connection_t* connection =
        xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber);
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        return std::unexpected(PlatformError{
            "xcb_connect(" + (displayName.empty() ? std::string("$DISPLAY") : displayName) + ")",
            ECONNREFUSED});
    }
    LinkPointer link(new Link);
    link->connection = connection;
    const xcb_setup_t* setup = xcb_get_setup(connection);
    link->minKeycode = setup->min_keycode;
    link->maxKeycode = setup->max_keycode;
    xcb_window_t resourceRoot = XCB_NONE; // xrdb keeps the database on the first screen's root
    int index = 0;
    for (auto screens = xcb_setup_roots_iterator(setup); screens.rem > 0;
         xcb_screen_next(&screens), ++index) {
        if (index == 0) {
            resourceRoot = screens.data->root;
        }
        if (index == screenNumber) {
            link->root = screens.data->root;
        }
    }
    if (link->root == XCB_NONE) {
        return std::unexpected(
            PlatformError{"xcb_connect: screen " + std::to_string(screenNumber), ENODEV});
    }

    // Everything the connection needs, asked at once and answered in one round trip.
    xcb_prefetch_extension_data(connection, &xcb_test_id);
    xcb_prefetch_extension_data(connection, &xcb_randr_id);
    constexpr std::string_view xwayland = "XWAYLAND";
    const auto xwaylandCookie = xcb_query_extension(
        connection, static_cast<std::uint16_t>(xwayland.size()), xwayland.data());
    auto intern = [&](const char* name) {
        return xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    };
    const auto checkCookie = intern("_NET_SUPPORTING_WM_CHECK");
    const auto supportedCookie = intern("_NET_SUPPORTED");
    const auto showingCookie = intern("_NET_SHOWING_DESKTOP");
    const auto resourcesCookie =
        xcb_get_property(connection, 0, resourceRoot, XCB_ATOM_RESOURCE_MANAGER, XCB_ATOM_STRING, 0,
                         1u << 16); // in 4-byte units: 256 KiB

    const auto* xtest = xcb_get_extension_data(connection, &xcb_test_id);
    link->hasXTest = xtest != nullptr && xtest->present;
    const auto* randr = xcb_get_extension_data(connection, &xcb_randr_id);
    link->hasRandr = randr != nullptr && randr->present;
    if (const auto answer =
            reply(xcb_query_extension_reply(connection, xwaylandCookie, nullptr), nullptr)) {
        link->isXwayland = answer->present != 0;
    }
    if (link->hasRandr) {
        link->randrEventBase = randr->first_event;
        const auto version =
            reply(xcb_randr_query_version_reply(connection,
                                                xcb_randr_query_version(connection, 1, 5), nullptr),
                  nullptr);
        link->hasMonitors =
            version != nullptr && (version->major_version > 1 || version->minor_version >= 5);
        xcb_randr_select_input(connection, link->root,
                               XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE |
                                   XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                   XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    }
    auto atom = [&](xcb_intern_atom_cookie_t cookie) {
        const auto answer = reply(xcb_intern_atom_reply(connection, cookie, nullptr), nullptr);
        return answer ? answer->atom : static_cast<xcb_atom_t>(XCB_NONE);
    };
    link->supportingWmCheck = atom(checkCookie);
    link->supported = atom(supportedCookie);
    link->showingDesktop = atom(showingCookie);
    if (const auto resources =
            reply(xcb_get_property_reply(connection, resourcesCookie, nullptr), nullptr);
        resources && resources->format == 8) {
        link->resourceDpi = xftDpi(std::string_view(
            static_cast<const char*>(xcb_get_property_value(resources.get())),
            static_cast<std::size_t>(xcb_get_property_value_length(resources.get()))));
    }
    xcb_flush(connection);
    if (xcb_connection_has_error(connection) != 0) {
        return std::unexpected(PlatformError{"xcb_connect(" + displayName + ")", EPIPE});
    }
    return link;
}

std::expected<std::shared_ptr<X11EventSystem>, PlatformError>
X11EventSystem::open(const char* displayName, Options options, Clock clock) {
    const char* fromEnvironment = std::getenv("DISPLAY");
    std::string name =
        displayName != nullptr ? displayName : (fromEnvironment ? fromEnvironment : "");
    auto linked = connect(name);
    if (!linked) {
        return std::unexpected(linked.error());
    }
    // A write to a server that has gone would otherwise end the process with SIGPIPE; the
    // broken connection is noticed from the write's error instead.
    struct sigaction current {};
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
        std::signal(SIGPIPE, SIG_IGN);
    }
    std::shared_ptr<X11EventSystem> system(
        new X11EventSystem(std::move(name), options, std::move(clock)));
    std::lock_guard lock(system->connectionLock);
    system->adoptLocked(std::move(*linked));
    return system;
}

X11EventSystem::X11EventSystem(std::string name, Options chosen, Clock clockFunction)
    : displayName(std::move(name)), options(chosen),
      clock(clockFunction ? std::move(clockFunction)
                          : Clock([] { return MonotonicClock::now(); })) {}

X11EventSystem::~X11EventSystem() = default;

void X11EventSystem::adoptLocked(LinkPointer fresh) {
    link = std::move(fresh);
    if (options.scale && isPlausibleScale(*options.scale)) {
        scale_ = *options.scale;
        scaleSource = ScaleSource::option;
    } else if (link->resourceDpi) {
        scale_ = *link->resourceDpi / kReferenceDpi;
        scaleSource = ScaleSource::resource;
        resourceDpi = *link->resourceDpi;
    } else {
        scale_ = 1;
        scaleSource = ScaleSource::fallback;
    }
    exactPosition.reset();
    pendingQuery.reset();
    showDesktopHeldAsKeys = false;
}

bool X11EventSystem::isUsableLocked() {
    if (link && xcb_connection_has_error(link->connection) != 0) {
        loseLocked();
    }
    return link != nullptr;
}

void X11EventSystem::loseLocked() {
    link.reset();
    exactPosition.reset();
    pendingQuery.reset();
    showDesktopHeldAsKeys = false;
}

void X11EventSystem::drainEventsLocked() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(link->connection)) {
        const std::uint8_t type = event->response_type & 0x7F;
        if (link->hasRandr && (type == link->randrEventBase + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                               type == link->randrEventBase + XCB_RANDR_NOTIFY)) {
            link->isMonitorListValid = false;
        } else if (type == XCB_MAPPING_NOTIFY) {
            link->isKeymapValid = false;
        }
        // Type 0 is an error of a request sent without waiting (a key the server refused):
        // nothing to do about it but go on.
        std::free(event);
    }
}

bool X11EventSystem::refreshMonitorsLocked() {
    if (link->isMonitorListValid) {
        return true;
    }
    xcb_connection_t* connection = link->connection;
    const auto geometryCookie = xcb_get_geometry(connection, link->root);
    xcb_randr_get_monitors_cookie_t monitorsCookie{};
    if (link->hasMonitors) {
        monitorsCookie = xcb_randr_get_monitors(connection, link->root, 1);
    }
    roundTrips_.fetch_add(1, std::memory_order_relaxed);
    const auto geometry =
        reply(xcb_get_geometry_reply(connection, geometryCookie, nullptr), nullptr);
    Reply<xcb_randr_get_monitors_reply_t> monitors;
    if (link->hasMonitors) {
        monitors =
            reply(xcb_randr_get_monitors_reply(connection, monitorsCookie, nullptr), nullptr);
    }
    if (!geometry) {
        return false;
    }
    link->monitorCount = 0;
    if (monitors) {
        // Primary first; without a monitor marked primary, the first one stands in.
        int primaryIndex = 0;
        int index = 0;
        for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem > 0;
             xcb_randr_monitor_info_next(&it), ++index) {
            if (it.data->primary) {
                primaryIndex = index;
                break;
            }
        }
        for (const bool wantPrimary : {true, false}) {
            index = 0;
            for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem > 0;
                 xcb_randr_monitor_info_next(&it), ++index) {
                if ((index == primaryIndex) == wantPrimary &&
                    link->monitorCount < link->monitors.size()) {
                    link->monitors[link->monitorCount++] = {it.data->x, it.data->y, it.data->width,
                                                            it.data->height};
                }
            }
        }
    }
    if (link->monitorCount == 0) {
        link->monitors[link->monitorCount++] = {0, 0, geometry->width, geometry->height};
    }
    // Core frames: logical points, bottom-left orientation relative to the primary.
    const Link::Monitor& primary = link->monitors[0];
    link->frames = {};
    for (std::size_t i = 0; i < link->monitorCount; ++i) {
        const Link::Monitor& m = link->monitors[i];
        link->frames.add({(m.x - primary.x) / scale_,
                          (primary.height - (m.y - primary.y) - m.height) / scale_,
                          m.width / scale_, m.height / scale_});
    }
    link->isMonitorListValid = true;
    return true;
}

Point X11EventSystem::toCore(Point device) const noexcept {
    const Link::Monitor& primary = link->monitors[0];
    return {(device.x - primary.x) / scale_, (device.y - primary.y) / scale_};
}

Point X11EventSystem::toDevice(Point core) const noexcept {
    const Link::Monitor& primary = link->monitors[0];
    return {core.x * scale_ + primary.x, core.y * scale_ + primary.y};
}

bool X11EventSystem::pendingQueryConfirmsLocked() {
    if (!pendingQuery) {
        return false;
    }
    xcb_connection_t* connection = link->connection;
    const unsigned sequence = *pendingQuery;
    pendingQuery.reset();
    if (clock() - pendingQuerySentAt > queryFreshness) {
        xcb_discard_reply(connection, sequence); // too old: the user may have moved since
        return false;
    }
    void* raw = nullptr;
    xcb_generic_error_t* error = nullptr;
    if (xcb_poll_for_reply(connection, sequence, &raw, &error) == 0) {
        roundTrips_.fetch_add(1, std::memory_order_relaxed);
        raw = xcb_wait_for_reply(connection, sequence, &error);
    }
    const auto answer = reply(static_cast<xcb_query_pointer_reply_t*>(raw), error);
    return answer && answer->same_screen && exactPosition &&
           Pixel{answer->root_x, answer->root_y} == pendingQueryPixel;
}

std::optional<X11EventSystem::Pixel> X11EventSystem::queryPointerLocked() {
    roundTrips_.fetch_add(1, std::memory_order_relaxed);
    const auto answer =
        reply(xcb_query_pointer_reply(link->connection,
                                      xcb_query_pointer(link->connection, link->root), nullptr),
              nullptr);
    if (!answer || !answer->same_screen) {
        return std::nullopt; // no answer, or the pointer is on another screen of this display
    }
    return Pixel{answer->root_x, answer->root_y};
}

std::optional<EventSource> X11EventSystem::createEventSource() {
    return EventSource{1};
}

std::optional<Point> X11EventSystem::pointerLocation() {
    std::lock_guard lock(connectionLock);
    if (!isUsableLocked()) {
        return std::nullopt;
    }
    drainEventsLocked();
    if (!refreshMonitorsLocked()) {
        isUsableLocked();
        return std::nullopt;
    }
    // The pointer was where we had put it when the query sent along with a recent motion was
    // answered, so the fraction we kept still holds. A move by another device after that is
    // not undone (motion goes out relative while the position is fresh), and the next answer
    // shows it.
    if (pendingQueryConfirmsLocked()) {
        positionKnownAt = clock();
        return toCore(*exactPosition);
    }
    const auto pixel = queryPointerLocked();
    if (!isUsableLocked() || !pixel) {
        return std::nullopt;
    }
    // Still on the pixel we put it on: the fraction we kept is the truth. Anywhere else,
    // another device (or the server's own edge) moved it, and the server's pixel is.
    if (!exactPosition || *pixel != postedPixel) {
        exactPosition = Point{static_cast<double>(pixel->x), static_cast<double>(pixel->y)};
        postedPixel = *pixel;
    }
    positionKnownAt = clock();
    return toCore(*exactPosition);
}

ScreenList X11EventSystem::screens() {
    std::lock_guard lock(connectionLock);
    if (!isUsableLocked()) {
        return {};
    }
    drainEventsLocked();
    if (!refreshMonitorsLocked()) {
        isUsableLocked();
        return {};
    }
    return link->frames;
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
    std::lock_guard lock(connectionLock);
    if (!isUsableLocked() || !link->hasXTest) {
        return; // dropped: nobody to deliver it to
    }
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
    xcb_flush(link->connection);
    isUsableLocked();
}

void X11EventSystem::postMouseLocked(const InputEvent& event) {
    if (!std::isfinite(event.location.x) || !std::isfinite(event.location.y) ||
        !refreshMonitorsLocked()) {
        return;
    }
    xcb_connection_t* connection = link->connection;
    const Point device = toDevice(event.location);
    const Pixel pixel{toInt16(device.x), toInt16(device.y)};
    const std::uint64_t now = clock();
    if (exactPosition && now - positionKnownAt <= queryFreshness) {
        // Only what we add, as a relative motion: a move by another device since we last
        // looked stays where it took the pointer instead of being undone.
        const Pixel step{toInt16(pixel.x - postedPixel.x), toInt16(pixel.y - postedPixel.y)};
        if (step != Pixel{}) {
            xcb_test_fake_input(connection, XCB_MOTION_NOTIFY, 1, XCB_CURRENT_TIME, XCB_NONE,
                                static_cast<std::int16_t>(step.x),
                                static_cast<std::int16_t>(step.y), 0);
        }
    } else {
        xcb_test_fake_input(connection, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, link->root,
                            static_cast<std::int16_t>(pixel.x), static_cast<std::int16_t>(pixel.y),
                            0);
    }
    exactPosition = device;
    postedPixel = pixel;
    positionKnownAt = now;
    const std::uint8_t button = event.button == MouseButton::right ? 3 : 1;
    switch (event.mouseType) {
    case MouseEventType::leftMouseDown:
    case MouseEventType::rightMouseDown:
        xcb_test_fake_input(connection, XCB_BUTTON_PRESS, button, XCB_CURRENT_TIME, XCB_NONE, 0, 0,
                            0);
        break;
    case MouseEventType::leftMouseUp:
    case MouseEventType::rightMouseUp:
        xcb_test_fake_input(connection, XCB_BUTTON_RELEASE, button, XCB_CURRENT_TIME, XCB_NONE, 0,
                            0, 0);
        break;
    case MouseEventType::mouseMoved:
    case MouseEventType::leftMouseDragged:
        break;
    }
    // Asked now and answered long before the next frame of a stroke wants to know where the
    // pointer is, so that frame waits for nothing. One question at a time is enough: motions
    // posted after it are ours, and the answer only has to show that nobody else came between.
    if (!pendingQuery) {
        pendingQuery = xcb_query_pointer(connection, link->root).sequence;
        pendingQueryPixel = pixel;
        pendingQuerySentAt = now;
    }
}

unsigned X11EventSystem::keycodeForLocked(unsigned long keysym) {
    xcb_connection_t* connection = link->connection;
    const unsigned count = unsigned{link->maxKeycode} - link->minKeycode + 1;
    if (!link->isKeymapValid) {
        roundTrips_.fetch_add(1, std::memory_order_relaxed);
        const auto mapping = reply(xcb_get_keyboard_mapping_reply(
                                       connection,
                                       xcb_get_keyboard_mapping(connection, link->minKeycode,
                                                                static_cast<std::uint8_t>(count)),
                                       nullptr),
                                   nullptr);
        if (!mapping) {
            return 0;
        }
        const xcb_keysym_t* symbols = xcb_get_keyboard_mapping_keysyms(mapping.get());
        link->keysyms.assign(symbols,
                             symbols + xcb_get_keyboard_mapping_keysyms_length(mapping.get()));
        link->keysymsPerKeycode = mapping->keysyms_per_keycode;
        link->isKeymapValid = true;
    }
    // Column by column, as Xlib searches: a key's unshifted symbol wins over a shifted one.
    const unsigned perKeycode = link->keysymsPerKeycode;
    for (unsigned column = 0; column < perKeycode; ++column) {
        for (unsigned code = 0; code < count; ++code) {
            const std::size_t index = code * perKeycode + column;
            if (index < link->keysyms.size() && link->keysyms[index] == keysym) {
                return link->minKeycode + code;
            }
        }
    }
    return 0;
}

void X11EventSystem::fakeKeysymLocked(unsigned long keysym, bool down) {
    const unsigned code = keycodeForLocked(keysym);
    if (code != 0) {
        xcb_test_fake_input(link->connection, down ? XCB_KEY_PRESS : XCB_KEY_RELEASE,
                            static_cast<std::uint8_t>(code), XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
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
    xcb_connection_t* connection = link->connection;
    if (link->supportingWmCheck == XCB_NONE || link->supported == XCB_NONE ||
        link->showingDesktop == XCB_NONE) {
        return false;
    }
    const auto checkCookie =
        xcb_get_property(connection, 0, link->root, link->supportingWmCheck, XCB_ATOM_WINDOW, 0, 1);
    const auto supportedCookie =
        xcb_get_property(connection, 0, link->root, link->supported, XCB_ATOM_ATOM, 0, 4096);
    const auto showingCookie =
        xcb_get_property(connection, 0, link->root, link->showingDesktop, XCB_ATOM_CARDINAL, 0, 1);
    roundTrips_.fetch_add(1, std::memory_order_relaxed);
    const auto check = reply(xcb_get_property_reply(connection, checkCookie, nullptr), nullptr);
    const auto supported =
        reply(xcb_get_property_reply(connection, supportedCookie, nullptr), nullptr);
    const auto showing = reply(xcb_get_property_reply(connection, showingCookie, nullptr), nullptr);

    auto values = [](const xcb_get_property_reply_t* property) {
        const bool usable = property != nullptr && property->format == 32;
        return std::pair{
            usable ? static_cast<const std::uint32_t*>(xcb_get_property_value(property)) : nullptr,
            usable ? property->value_len : 0u};
    };
    const auto [checkValues, checkCount] = values(check.get());
    const auto [atoms, atomCount] = values(supported.get());
    const auto [showingValues, showingCount] = values(showing.get());
    if (checkCount == 0 ||
        std::find(atoms, atoms + atomCount, link->showingDesktop) == atoms + atomCount) {
        return false;
    }
    // A window manager that ended without cleaning up leaves its properties behind: the check
    // window must still exist and name itself.
    const xcb_window_t wmWindow = checkValues[0];
    roundTrips_.fetch_add(1, std::memory_order_relaxed);
    const auto own = reply(
        xcb_get_property_reply(connection,
                               xcb_get_property(connection, 0, wmWindow, link->supportingWmCheck,
                                                XCB_ATOM_WINDOW, 0, 1),
                               nullptr),
        nullptr);
    const auto [ownValues, ownCount] = values(own.get());
    if (ownCount == 0 || ownValues[0] != wmWindow) {
        return false;
    }
    const bool isShowing = showingCount > 0 && showingValues[0] != 0;
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = link->root;
    message.type = link->showingDesktop;
    message.data.data32[0] = isShowing ? 0 : 1;
    xcb_send_event(connection, 0, link->root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
    return true;
}

void X11EventSystem::postKeyLocked(const InputEvent& event) {
    // The show-desktop hot key: the window manager's own toggle where it has one, else
    // Super+D. Either toggles on the key-down; the key-up only lets go of what went down.
    if (event.keyCode == kVirtualKeyF11 && (event.flags & EventFlags::secondaryFn)) {
        if (event.keyDown) {
            if (toggleShowingDesktopLocked()) {
                showDesktopHeldAsKeys = false;
                return;
            }
            fakeKeysymLocked(XK_Super_L, true);
            fakeKeysymLocked(XK_d, true);
            showDesktopHeldAsKeys = true;
        } else if (showDesktopHeldAsKeys) {
            fakeKeysymLocked(XK_d, false);
            fakeKeysymLocked(XK_Super_L, false);
            showDesktopHeldAsKeys = false;
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
        const auto button = static_cast<std::uint8_t>(clicks->button);
        for (unsigned i = 0; i < clicks->count; ++i) {
            xcb_test_fake_input(link->connection, XCB_BUTTON_PRESS, button, XCB_CURRENT_TIME,
                                XCB_NONE, 0, 0, 0);
            xcb_test_fake_input(link->connection, XCB_BUTTON_RELEASE, button, XCB_CURRENT_TIME,
                                XCB_NONE, 0, 0, 0);
        }
    }
    pressModifiersLocked(event.flags, false, true);
}

bool X11EventSystem::isTrusted() {
    std::lock_guard lock(connectionLock);
    if (isUsableLocked()) {
        drainEventsLocked(); // reads the socket, so a server that has gone is noticed here
        isUsableLocked();
    }
    if (!link) {
        if (auto fresh = connect(displayName)) {
            adoptLocked(std::move(*fresh));
            reconnections_.fetch_add(1, std::memory_order_relaxed);
        }
    }
    return link && link->hasXTest;
}

std::optional<std::string> X11EventSystem::untrustedReason() {
    std::lock_guard lock(connectionLock);
    if (!link) {
        return "X ekranıyla (" + displayName + ") bağlantı koptu; yeniden bağlanmayı bekliyor";
    }
    if (!link->hasXTest) {
        return std::string("X sunucusu XTEST eklentisini sunmuyor; olaylar gönderilemiyor");
    }
    return std::nullopt;
}

bool X11EventSystem::isXwayland() const {
    std::lock_guard lock(connectionLock);
    return link && link->isXwayland;
}

double X11EventSystem::scale() const {
    std::lock_guard lock(connectionLock);
    return scale_;
}

std::string X11EventSystem::scaleDescription() const {
    std::lock_guard lock(connectionLock);
    switch (scaleSource) {
    case ScaleSource::option:
        return formatC("olcek=%.2f (uygulama)", scale_);
    case ScaleSource::resource:
        return formatC("olcek=%.2f (Xft.dpi %g)", scale_, resourceDpi);
    case ScaleSource::fallback:
        break;
    }
    return formatC("olcek=%.2f (Xft.dpi yok)", scale_);
}

} // namespace ravnix
