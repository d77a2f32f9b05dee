#pragma once
// Real input on an X11 desktop through the XTEST extension: absolute pointer motion, buttons
// 1 and 3, keys from the core's virtual key codes with their modifiers pressed around them,
// and scrolling as wheel buttons. Displays come from the RandR monitor list, primary first.
//
// The core's global space has its origin at the top-left of the primary display; X's root
// window has its own origin, so every point crossing this class is shifted by the primary
// monitor's position.

#include "platform/PlatformError.hpp"
#include "platform/events/EventSystem.hpp"

#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>

typedef struct _XDisplay Display;

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

class X11EventSystem : public EventSystem {
  public:
    // Opens the display (nullptr: $DISPLAY). Fails when no display answers.
    static std::expected<std::shared_ptr<X11EventSystem>, PlatformError>
    open(const char* displayName = nullptr);
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
    double doubleClickInterval() override { return 0.5; }
    // The display is open and XTEST is present.
    bool isTrusted() override { return hasXTest; }

  private:
    explicit X11EventSystem(Display* display, bool hasXTest);
    struct PrimaryOrigin {
        int x = 0;
        int y = 0;
    };
    PrimaryOrigin primaryOriginLocked();
    void postMouseLocked(const InputEvent& event);
    void postKeyLocked(const InputEvent& event);
    void postScrollLocked(const InputEvent& event);
    void pressModifiersLocked(std::uint64_t flags, bool down, bool commandIsControl);
    bool toggleShowingDesktopLocked();
    void fakeKeysymLocked(unsigned long keysym, bool down);

    std::mutex displayLock; // guards the connection: Xlib calls are made one at a time
    Display* display;
    const bool hasXTest;
};

} // namespace ravnix
