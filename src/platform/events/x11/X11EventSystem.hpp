#pragma once
// Real input on an X11 desktop through the XTEST extension, over XCB: pointer motion,
// buttons 1 and 3, keys from the core's virtual key codes with their modifiers pressed around
// them, and scrolling as wheel buttons. Displays come from the RandR monitor list, primary
// first.
//
// Space: the core speaks logical points with the origin at the top-left of the primary
// display. X speaks device pixels of the root window, so every point crossing this class is
// multiplied by the desktop's scale and shifted by the primary monitor's position.
//
// Fractions: the server's pointer lives on whole pixels, the core's on doubles. The backend
// remembers the exact position it last posted and reports it while the server's pointer still
// sits on the pixel that position rounds to; when something else has moved the pointer, the
// server's position wins. So steps smaller than a pixel add up instead of vanishing. While
// the position is fresh, motion is posted relative to it, so that another device moving the
// pointer between two frames is added to, never undone.
//
// Cost: the monitor list is cached and refreshed after a RandR change notification. A motion
// post sends a pointer query along without waiting; the next frame, when it comes soon
// enough, finds the answer already there, so a frame of a stroke waits for no reply, and any
// other frame for at most one.
//
// Faults: XCB reports a refused request as a value, and the backend drops it; a connection
// that breaks (the server ends) never ends the process. While the server is gone, isTrusted()
// is false and events are dropped; each isTrusted() call then tries to connect again, and once
// the display answers, the new connection is used from then on.

#include "platform/PlatformError.hpp"
#include "platform/events/EventSystem.hpp"

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace ravnix {

// The X keysym for a virtual key code, or none for codes we do not translate.
std::optional<unsigned long> keysymForVirtualKey(std::uint16_t keyCode) noexcept;

// The X wheel button (4 up, 5 down, 6 left, 7 right) and the number of clicks for a
// vertical or horizontal line count; none for 0.
struct WheelClicks {
    unsigned button = 0;
    unsigned count = 0;
    bool operator==(const WheelClicks&) const = default;
};
std::optional<WheelClicks> wheelClicks(std::int64_t lines, bool vertical) noexcept;

// The value of `Xft.dpi` in the text of an X resource database (the RESOURCE_MANAGER property,
// as `xrdb` writes it); none when it is absent or not a plausible resolution.
std::optional<double> xftDpi(std::string_view resources) noexcept;

// What the program knows better than the X server: the tray application passes Qt's values.
struct X11EventOptions {
    // Device pixels per logical point. None: Xft.dpi / 96 from the server's resource
    // database, or 1 without it.
    std::optional<double> scale;
    // What doubleClickInterval() answers, in seconds.
    double doubleClickInterval = 0.5;
    bool operator==(const X11EventOptions&) const = default;
};

class X11EventSystem : public EventSystem {
  public:
    using Options = X11EventOptions;
    // Monotonic nanoseconds; how recent an answer to the pointer query still counts.
    using Clock = std::function<std::uint64_t()>;

    // Opens the display (nullptr: $DISPLAY). Fails when no display answers. The clock is the
    // monotonic one except in tests.
    static std::expected<std::shared_ptr<X11EventSystem>, PlatformError>
    open(const char* displayName = nullptr, Options options = {}, Clock clock = {});
    ~X11EventSystem() override;
    X11EventSystem(const X11EventSystem&) = delete;
    X11EventSystem& operator=(const X11EventSystem&) = delete;

    std::optional<EventSource> createEventSource() override;
    std::optional<Point> pointerLocation() override;
    ScreenList screens() override;
    std::optional<InputEvent> mouseEvent(std::optional<EventSource> source, MouseEventType type,
                                         Point location, MouseButton button) override;
    std::optional<InputEvent> keyboardEvent(std::optional<EventSource> source,
                                            std::uint16_t keyCode, bool keyDown) override;
    std::optional<InputEvent> scrollWheelEvent(std::optional<EventSource> source,
                                               std::int32_t vertical,
                                               std::int32_t horizontal) override;
    void post(const InputEvent& event) override;
    double doubleClickInterval() override { return options.doubleClickInterval; }
    // Connected, and the server offers XTEST. While the connection is lost, each call tries to
    // connect again.
    bool isTrusted() override;
    std::optional<std::string> untrustedReason() override;

    // Whether the server is the XWayland of a Wayland compositor, whose XTEST events reach
    // only XWayland windows (it announces the XWAYLAND extension).
    bool isXwayland() const;
    // Device pixels per logical point on the current connection.
    double scale() const;
    // The scale and where it came from, for the application log, e.g.
    // "olcek=2.00 (Xft.dpi 192)", "olcek=1.00 (Xft.dpi yok)", "olcek=1.25 (uygulama)".
    std::string scaleDescription() const;
    // The display this backend connects to, e.g. ":0".
    const std::string& display() const noexcept { return displayName; }
    // Replies waited for since the backend was opened: the X round trips it has made.
    std::uint64_t roundTrips() const noexcept {
        return roundTrips_.load(std::memory_order_relaxed);
    }
    // Connections made again after the server was lost.
    std::uint64_t reconnections() const noexcept {
        return reconnections_.load(std::memory_order_relaxed);
    }

    // How long a pointer query sent with the previous motion stays a good answer: a stroke's
    // frames come far more often, a pause is longer.
    static constexpr std::uint64_t queryFreshness = 50'000'000; // ns

  private:
    struct Link;
    struct LinkCloser {
        void operator()(Link* link) const noexcept;
    };
    using LinkPointer = std::unique_ptr<Link, LinkCloser>;
    struct Pixel {
        int x = 0;
        int y = 0;
        bool operator==(const Pixel&) const = default;
    };
    enum class ScaleSource : std::uint8_t { option, resource, fallback };

    X11EventSystem(std::string displayName, Options options, Clock clock);
    static std::expected<LinkPointer, PlatformError> connect(const std::string& displayName);
    void adoptLocked(LinkPointer fresh);
    bool isUsableLocked();
    void loseLocked();
    void drainEventsLocked();
    bool refreshMonitorsLocked();
    bool pendingQueryConfirmsLocked();
    std::optional<Pixel> queryPointerLocked();
    Point toCore(Point device) const noexcept;
    Point toDevice(Point core) const noexcept;
    void postMouseLocked(const InputEvent& event);
    void postKeyLocked(const InputEvent& event);
    void postScrollLocked(const InputEvent& event);
    void pressModifiersLocked(std::uint64_t flags, bool down, bool commandIsControl);
    bool toggleShowingDesktopLocked();
    void fakeKeysymLocked(unsigned long keysym, bool down);
    unsigned keycodeForLocked(unsigned long keysym);

    const std::string displayName;
    const Options options;
    const Clock clock;
    std::atomic<std::uint64_t> roundTrips_{0};
    std::atomic<std::uint64_t> reconnections_{0};

    mutable std::mutex connectionLock; // guards everything below: one X call at a time
    LinkPointer link;                  // none while the server is gone
    double scale_ = 1;
    ScaleSource scaleSource = ScaleSource::fallback;
    double resourceDpi = 0;
    // The exact device position last posted or read, the pixel it stands for, and when it
    // was last confirmed.
    std::optional<Point> exactPosition;
    Pixel postedPixel;
    std::uint64_t positionKnownAt = 0;
    // The pointer query sent with a motion: its sequence number, when it was sent, and the
    // pixel that motion put the pointer on.
    std::optional<unsigned> pendingQuery;
    std::uint64_t pendingQuerySentAt = 0;
    Pixel pendingQueryPixel;
    // The show-desktop key went down as Super+D, so its up releases them.
    bool showDesktopHeldAsKeys = false;
};

} // namespace ravnix
