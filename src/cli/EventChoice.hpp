#pragma once
// Which event backend posts the phone's input. The program gathers facts about the session
// (environment variables, what the X server and the remote-control portal answered) and this
// pure function decides, so that every combination is tested without a display or a bus.
//
// With --events=auto the backends are tried in a fixed order, each with its own candidate
// function: X11 on an X11 session whose server is not Xwayland, then the portal when it offers
// pointer and keyboard, then a wlroots compositor's virtual pointer, then uinput when its
// device is writable. A backend that joins the list adds its facts, a candidate, and its
// remedy to the text of the refusal.

#include "cli/RavnixOptions.hpp"

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace ravnix {

enum class EventBackend { x11, portal, wlroots, uinput, log, none };

// "x11", "portal", "wlroots", "uinput", "log", "none": the names of --events.
std::string_view backendName(EventBackend backend) noexcept;

// What the X server said, when a display was tried.
struct X11Facts {
    bool isBuilt = false;    // this program has the X11 backend
    bool isTried = false;    // a display name was there and opening it was tried
    std::string display;     // its name, e.g. ":0"
    std::string problem;     // why it did not open; empty when it did
    bool isXwayland = false; // the server announces the XWAYLAND extension
    bool hasXTest = false;
    bool operator==(const X11Facts&) const = default;
};

// What the remote-control portal said, when it was asked (without opening a session).
struct PortalFacts {
    bool isBuilt = false;
    bool isAsked = false;
    std::string problem; // why it did not answer; empty when it did
    std::uint32_t version = 0;
    bool offersPointerAndKeyboard = false;
    bool operator==(const PortalFacts&) const = default;
};

// What the Wayland compositor advertised, when asked.
struct WlrootsFacts {
    bool isBuilt = false;
    bool isAsked = false;
    std::string problem; // why it did not answer; empty when it did
    bool offersVirtualPointer = false;
    bool operator==(const WlrootsFacts&) const = default;
};

// Whether the kernel's virtual input device can be written.
struct UinputFacts {
    bool isBuilt = false;
    bool isProbed = false;
    std::string problem; // why it cannot be opened; empty when it can
    std::string remedy;  // what to do about the problem
    bool operator==(const UinputFacts&) const = default;
};

struct EventFacts {
    RavnixOptions::Events requested = RavnixOptions::Events::automatic;
    std::string sessionType;        // XDG_SESSION_TYPE: "x11", "wayland", "tty", or empty
    bool hasWaylandDisplay = false; // WAYLAND_DISPLAY is set
    bool hasX11Display = false;     // DISPLAY is set
    X11Facts x11;
    PortalFacts portal;
    WlrootsFacts wlroots;
    UinputFacts uinput;
    bool operator==(const EventFacts&) const = default;
};

struct EventDecision {
    EventBackend backend = EventBackend::none;
    // Why this backend, in the user's words: one log line at start, `durum`, the panel.
    std::string reason;
    // With none: what to install or enable so that events reach the desktop.
    std::string remedy;
    bool operator==(const EventDecision&) const = default;
};

// Whether the decision needs the X display opened: not on a Wayland session, where opening it
// may start an XWayland for nothing.
bool opensX11(const EventFacts& facts);

// Whether the decision needs the portal's answer: it is asked only then, since asking may
// start the portal service.
bool asksPortal(const EventFacts& facts);

// The backend for these facts. Fails, with the reason, only when a forced backend cannot be
// built at all (no X display for --events=x11, a backend this program lacks).
std::expected<EventDecision, std::string> chooseEventBackend(const EventFacts& facts);

// Whether the decision needs the compositor's globals, and whether it needs /dev/uinput tried:
// only when the backends before them in the order did not suit.
bool asksWlroots(const EventFacts& facts);
bool probesUinput(const EventFacts& facts);

// The text with Turkish letters written as their plain Latin ones, for log lines
// ("işaretçi" → "isaretci").
std::string withoutDiacritics(std::string_view text);

} // namespace ravnix
