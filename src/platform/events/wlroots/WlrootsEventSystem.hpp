#pragma once
// Real input under the wlroots compositors (sway, Hyprland, river), which offer no
// remote-control portal but take virtual input from any client through two Wayland protocols:
// a virtual pointer (zwlr_virtual_pointer_manager_v1) for relative motion, buttons and
// scrolling, and a virtual keyboard (zwp_virtual_keyboard_manager_v1) for keys, read through a
// keymap that this backend uploads. No prompt, no permission.
//
// Motion: relative, in the compositor's logical pixels. The backend keeps its own position and
// sends the step from it; wl_fixed carries 1/256 pixel, and what a step has below that is kept
// for the next one, so many small steps add up to their sum. Displays come from the outputs
// (xdg-output's logical rectangles, else wl_output's mode and scale), the first one primary.
//
// Threads: no thread of its own. post() writes the requests and flushes them on the caller's
// thread; when the socket is full (EAGAIN) it waits for it to drain, at most `flushLimit`.
// Requests are never written while earlier ones are still waiting, so libwayland's buffer never
// overflows (which would end the connection): an event that finds the socket still full after
// the wait is dropped and counted. isTrusted() and pointerLocation() read what the compositor
// sent without waiting.
//
// Faults: the compositor going away makes isTrusted() false with a reason, and events are
// dropped (counted) until it is back; each isTrusted() call then tries to connect again,
// outside the lock that post() takes, so posting never waits for a connection.

#include "platform/PlatformError.hpp"
#include "platform/events/EvdevInput.hpp"
#include "platform/events/EventSystem.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace ravnix {

struct WlrootsOptions {
    // The compositor's socket: a name in $XDG_RUNTIME_DIR or an absolute path; empty:
    // $WAYLAND_DISPLAY, else "wayland-0".
    std::string displayName;
    // How long post() waits for a full socket to drain.
    std::chrono::milliseconds flushLimit{100};
    // The limit for the compositor's answers while connecting.
    std::chrono::milliseconds replyTimeout{2000};
    double doubleClickInterval = 0.5;
    // A log line (Turkish, no diacritics), on the thread that caused it, never under a lock.
    std::function<void(const std::string&)> onEvent;
};

// What a compositor advertises, read by probe().
struct WlrootsGlobals {
    std::uint32_t virtualPointerVersion = 0; // 0: no zwlr_virtual_pointer_manager_v1
    bool hasVirtualKeyboard = false;         // zwp_virtual_keyboard_manager_v1
    bool hasSeat = false;
    std::uint32_t outputs = 0;
    // What the backend needs: the virtual pointer (the keyboard may be missing; keys are then
    // dropped and counted).
    bool offersVirtualPointer() const noexcept { return virtualPointerVersion > 0; }
    bool operator==(const WlrootsGlobals&) const = default;
};

class WlrootsEventSystem : public EventSystem {
  public:
    // Connects, lists the globals and disconnects, waiting at most `timeout` for the answer.
    // Fails when no compositor answers on `displayName` (empty: $WAYLAND_DISPLAY).
    static std::expected<WlrootsGlobals, PlatformError> probe(const std::string& displayName,
                                                              std::chrono::milliseconds timeout);

    // Connects and creates the virtual devices. Fails when no compositor answers or it offers
    // no virtual pointer.
    static std::expected<std::shared_ptr<WlrootsEventSystem>, PlatformError>
    open(WlrootsOptions options = {});
    ~WlrootsEventSystem() override;
    WlrootsEventSystem(const WlrootsEventSystem&) = delete;
    WlrootsEventSystem& operator=(const WlrootsEventSystem&) = delete;

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
    // Sends and flushes the event's requests (bounded wait, see above).
    void post(const InputEvent& event) override;
    double doubleClickInterval() override { return options.doubleClickInterval; }
    // Connected with a virtual pointer. While the compositor is gone, each call tries to
    // connect again.
    bool isTrusted() override;
    std::optional<std::string> untrustedReason() override;

    // The socket this backend connects to, as given (empty: $WAYLAND_DISPLAY).
    const std::string& display() const noexcept { return options.displayName; }
    // Events not delivered: posted while disconnected, while the socket stayed full, or keys
    // without a virtual keyboard.
    std::uint64_t droppedEvents() const noexcept { return dropped.load(std::memory_order_relaxed); }
    // Times the socket was full and post() waited for it.
    std::uint64_t flushWaits() const noexcept { return waits.load(std::memory_order_relaxed); }
    // Connections made again after the compositor was lost.
    std::uint64_t reconnections() const noexcept {
        return reconnections_.load(std::memory_order_relaxed);
    }

    struct Connection; // the Wayland objects of one connection (kept in the .cpp)

  private:
    struct ConnectionClose {
        void operator()(Connection* connection) const noexcept;
    };
    using ConnectionPointer = std::unique_ptr<Connection, ConnectionClose>;
    struct Pending; // log lines gathered under the lock, written after it

    explicit WlrootsEventSystem(WlrootsOptions options);
    static std::expected<ConnectionPointer, PlatformError> connect(const WlrootsOptions& options);
    bool pumpLocked(Pending& pending);
    void loseLocked(const std::string& reason, Pending& pending);
    bool flushLocked(Pending& pending);
    void sendLocked(const InputEvent& event, Pending& pending);
    ScreenList screensLocked() const;
    void report(Pending& pending);
    std::string describeLocked() const;

    const WlrootsOptions options;
    std::atomic<std::uint64_t> dropped{0};
    std::atomic<std::uint64_t> waits{0};
    std::atomic<std::uint64_t> reconnections_{0};
    std::atomic<bool> isConnecting{false};

    mutable std::mutex connectionLock; // guards everything below: one Wayland call at a time
    ConnectionPointer connection;      // none while the compositor is gone
    std::string reason;                // why not trusted
    EvdevInput input;                  // the position and what each event sends
    bool hasPosition = false;          // the position was put on a screen once
    UnitCarry carryX;                  // motion below wl_fixed's 1/256 pixel
    UnitCarry carryY;
    bool isDroppingReported = false; // the current run of drops was logged
    std::uint64_t droppedAtReport = 0;
    std::chrono::steady_clock::time_point lastPump{};
};

} // namespace ravnix
