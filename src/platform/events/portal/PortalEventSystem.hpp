#pragma once
// Real input on a Wayland desktop (GNOME, KDE) through the desktop's remote-control portal,
// org.freedesktop.portal.RemoteDesktop on the session bus: a session (CreateSession,
// SelectDevices for keyboard and pointer, Start), to which the desktop answers with its own
// consent dialog, then relative pointer motion, buttons, smooth and line scrolling and keys.
//
// Threads: all D-Bus work runs on a thread of the backend's own ("ravnix.portal") with its own
// GLib main context. post() never waits for the bus: it appends the event's calls to an
// ordered outbox. The portal thread sends them in that order, each once the previous one is
// answered, because the frontend handles calls on a pool of threads and would let one-way
// calls overtake each other; motion queued meanwhile goes out as one step. The portal's
// answers are untrusted: a missing, late or malformed answer ends the request with a reason.
//
// Permission: isTrusted() is true while a started session is open. A refusal, the session's
// closing, the portal leaving the bus or the bus closing make it false, with a reason.
// Nothing but requestPermission() (and the start, when asked) opens the desktop's dialog;
// isTrusted() only reads. Interface version 1 grants for the session; version 2 remembers the
// grant with a restore token, kept in the state folder (mode 0600) for the next start.

#include "platform/PlatformError.hpp"
#include "platform/events/EventSystem.hpp"

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace ravnix {

struct PortalOptions {
    // The session bus unless set (a D-Bus address, for tests).
    std::string busAddress;
    // Where the restore token is kept ($XDG_STATE_HOME/ravnix); empty: never kept.
    std::filesystem::path stateFolder;
    // The limit for each answer of the portal, except the user's answer to the dialog.
    std::chrono::milliseconds replyTimeout{10'000};
    // The limit for the user's answer to the desktop's consent dialog (Start).
    std::chrono::milliseconds consentTimeout{180'000};
    // Ask for the session as soon as the backend is created.
    bool requestAtStart = true;
    // Read the screens from org.gnome.Mutter.DisplayConfig when it is on the bus (the
    // terminal); the tray application hands Qt's screens to setScreens() instead.
    bool screensFromDisplayConfig = true;
    double doubleClickInterval = 0.5;
    // A log line (Turkish, no diacritics). Runs on the portal thread, or on the thread that
    // called setScreens().
    std::function<void(const std::string&)> onEvent;
    // isTrusted changed; the reason is empty when it became true. Runs on the portal thread.
    std::function<void(bool isTrusted, const std::string& reason)> onTrustChanged;
};

// What the portal offers, read without opening a session.
struct PortalInfo {
    std::uint32_t version = 0;
    std::uint32_t availableDeviceTypes = 0; // 1 keyboard, 2 pointer, 4 touchscreen
    bool offersPointerAndKeyboard() const noexcept { return (availableDeviceTypes & 3) == 3; }
    bool operator==(const PortalInfo&) const = default;
};

class PortalEventSystem : public EventSystem {
  public:
    // Asks the portal for its RemoteDesktop properties (starting the portal if the bus can),
    // waiting at most `timeout`. Fails when there is no bus or no RemoteDesktop portal.
    static std::expected<PortalInfo, PlatformError> probe(const std::string& busAddress,
                                                          std::chrono::milliseconds timeout);

    // Starts the portal thread; with `requestAtStart` it asks for a session at once.
    static std::shared_ptr<PortalEventSystem> create(PortalOptions options);
    // Closes the session and stops the portal thread (bounded).
    ~PortalEventSystem() override;
    PortalEventSystem(const PortalEventSystem&) = delete;
    PortalEventSystem& operator=(const PortalEventSystem&) = delete;

    std::optional<EventSource> createEventSource() override;
    // The backend's own position, clamped to the known screens.
    std::optional<Point> pointerLocation() override;
    ScreenList screens() override;
    std::optional<InputEvent> mouseEvent(std::optional<EventSource> source, MouseEventType type,
                                         Point location, MouseButton button) override;
    std::optional<InputEvent> keyboardEvent(std::optional<EventSource> source,
                                            std::uint16_t keyCode, bool keyDown) override;
    std::optional<InputEvent> scrollWheelEvent(std::optional<EventSource> source,
                                               std::int32_t vertical,
                                               std::int32_t horizontal) override;
    // Queues the event's calls for the portal thread; never waits. Dropped while no session
    // runs, or when the outbox is full (counted).
    void post(const InputEvent& event) override;
    double doubleClickInterval() override;
    bool isTrusted() override;
    // The reason of status() while not trusted.
    std::optional<std::string> untrustedReason() override;

    // Starts a new request for the session unless one is under way or open. Any thread.
    void requestPermission();

    struct Status {
        bool isTrusted = false;
        bool isRequesting = false;
        std::uint32_t version = 0; // the portal's interface version; 0 until it answered
        std::string reason;        // why not trusted; empty while trusted
        bool operator==(const Status&) const = default;
    };
    Status status() const;

    // Replaces the screens (frames in the bottom-left orientation, primary first) and says
    // where they came from, for the log. After the first call, DisplayConfig is not read.
    void setScreens(const ScreenList& screens, const std::string& origin);
    std::string screenOrigin() const;

    // Events dropped because the outbox was full.
    std::uint64_t droppedEvents() const noexcept;

    struct Worker; // the portal thread and its state (GLib types stay in the .cpp)

  private:
    explicit PortalEventSystem(PortalOptions options);
    std::unique_ptr<Worker> worker;
};

} // namespace ravnix
