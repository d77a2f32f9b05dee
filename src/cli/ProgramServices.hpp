#pragma once
// The system services the desktop program is made of, chosen from what this machine and this
// build offer: the event backend, DNS-SD, the secret store, the permission help page, and the
// connection doctor's probes. Part of the ravnix executable, built with its service switches.

#include "app/ConnectionDoctor.hpp"
#include "cli/EventChoice.hpp"
#include "cli/RavnixOptions.hpp"
#include "platform/Paths.hpp"
#include "platform/events/EventSystem.hpp"
#include "platform/network/DnsSd.hpp"
#include "platform/secret/SecretStore.hpp"

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace ravnix {

// What the shell knows of the desktop better than the event backend: the tray application
// passes Qt's values, the terminal the defaults.
struct DesktopFacts {
    std::optional<double> scale; // device pixels per logical point; none: Xft.dpi or 1
    double doubleClickInterval = 0.5;
    bool isTray = false; // Qt gives the screens; otherwise the backend reads them itself
};

// The facts the event choice was made from, and the X11 backend when a display was opened for
// them (it is used when chosen, so the display is opened once).
struct GatheredEvents {
    EventFacts facts;
    std::shared_ptr<EventSystem> x11;
    std::string x11Details; // ":0 olcek=1.00 (Xft.dpi yok)" for the log
};

// Reads the environment, opens the X display and asks the portal as far as the choice needs
// them. Opens no session and asks for no permission.
GatheredEvents gatherEventFacts(RavnixOptions::Events kind, const DesktopFacts& desktop);

using LogFunction = std::function<void(const std::string&)>;

struct EventsChoice {
    std::shared_ptr<EventSystem> system;
    EventDecision decision;
    std::string logLine; // "olaylar: portal · <reason without diacritics>"
    // "portal — <reason>": for `durum` and the panel.
    std::string description;
    // What the user can do while events do not reach the desktop.
    std::string permissionHint;
    // The portal only: asks the desktop for its consent again (any thread), and takes the
    // screens in Qt's top-left space, primary first, with where they came from.
    std::function<void()> requestPermission;
    std::function<void(std::span<const Rect> frames, const std::string& origin)> setScreens;
    std::uint32_t portalVersion = 0; // as the portal said at start; 0 when unknown
};

// Makes the decided backend. `log` receives the backend's own lines, from its own thread.
std::expected<EventsChoice, std::string> makeEvents(GatheredEvents gathered, const Paths& paths,
                                                    const DesktopFacts& desktop, LogFunction log);

// The page that the permission buttons open: what this backend needs before the pointer can
// move. Written into the log folder; its file:// address, or empty when it cannot be written.
std::string writePermissionHelp(const Paths& paths, const EventsChoice& events);

struct DnsSdChoice {
    std::shared_ptr<DnsSd> service;
    std::string hostName; // the daemon's, when one answers
    std::string logLine;
};
DnsSdChoice chooseDnsSd();

// The store of --secret-store, and the log line saying which and why.
std::pair<std::shared_ptr<SecretStore>, std::string> chooseSecretStore(SecretStoreChoice choice,
                                                                       const Paths& paths);

// The doctor's probes of this machine, asking `dnsSd` for our advertisements and `secrets` for
// an item, and `events` for the event check. Every probe may run on any thread.
DoctorProbes systemDoctorProbes(std::shared_ptr<DnsSd> dnsSd, std::shared_ptr<SecretStore> secrets,
                                std::function<EventBackendStatus()> events);

// The event check of `ravnix --doctor`, from outside the running program: the backend the
// choice picks and whether it can work, without asking the desktop for a permission.
EventBackendStatus doctorEventStatus(const GatheredEvents& gathered,
                                     const std::expected<EventDecision, std::string>& decision);

} // namespace ravnix
