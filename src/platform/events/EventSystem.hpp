#pragma once
// The operating system's input-event services, as the pointer injector uses them: read the
// pointer and the displays, create mouse, key and scroll events, set their integer fields
// and modifier flags, and post them. Events are plain values; a backend turns a posted
// event into real input (X11), keeps it (tests), or writes it to a log.
//
// Coordinates: pointer locations are in global display space, origin at the top-left of
// the primary display, y downwards, in points. Screen frames use the other orientation:
// origin at the bottom-left of the primary display, y upwards. The first screen is the
// primary one.
//
// Threads: the injector calls every operation with its own lock held, so a backend sees
// one call at a time from it; backends must still tolerate calls from several threads.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace ravnix {

struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    double minX() const noexcept { return x; }
    double minY() const noexcept { return y; }
    double maxX() const noexcept { return x + width; }
    double maxY() const noexcept { return y + height; }
    bool operator==(const Rect&) const = default;
};

// The displays in system order, primary first. Fixed capacity so reading it allocates nothing.
struct ScreenList {
    static constexpr std::size_t capacity = 16;
    std::array<Rect, capacity> frames{};
    std::size_t count = 0;

    bool empty() const noexcept { return count == 0; }
    const Rect* begin() const noexcept { return frames.data(); }
    const Rect* end() const noexcept { return frames.data() + count; }
    void add(const Rect& frame) noexcept {
        if (count < capacity) {
            frames[count++] = frame;
        }
    }
    bool operator==(const ScreenList& other) const noexcept {
        if (count != other.count) {
            return false;
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (!(frames[i] == other.frames[i])) {
                return false;
            }
        }
        return true;
    }
};

enum class MouseEventType : std::uint32_t {
    leftMouseDown = 1,
    leftMouseUp = 2,
    rightMouseDown = 3,
    rightMouseUp = 4,
    mouseMoved = 5,
    leftMouseDragged = 6,
};

enum class MouseButton : std::uint32_t { left = 0, right = 1 };

// Integer fields the core sets on events.
enum class EventField : std::uint32_t {
    mouseClickState = 1,
    mouseDeltaX = 4,
    mouseDeltaY = 5,
    scrollDeltaAxis1 = 11, // vertical lines
    scrollDeltaAxis2 = 12, // horizontal lines
    scrollIsContinuous = 88,
    scrollPhase = 99,
    scrollMomentumPhase = 123,
};

// Modifier flag bits.
struct EventFlags {
    EventFlags() = delete;
    static constexpr std::uint64_t shift = 0x20000;
    static constexpr std::uint64_t control = 0x40000;
    static constexpr std::uint64_t option = 0x80000;
    static constexpr std::uint64_t command = 0x100000;
    static constexpr std::uint64_t secondaryFn = 0x800000;
};

// An event source; events made without one behave the same for our purposes.
struct EventSource {
    std::uint32_t id = 0;
    bool operator==(const EventSource&) const = default;
};

struct InputEvent {
    enum class Kind : std::uint8_t { mouse, keyboard, scrollWheel };
    static constexpr std::size_t maximumFields = 8;

    Kind kind = Kind::mouse;
    std::optional<EventSource> source;
    // Mouse events.
    MouseEventType mouseType = MouseEventType::mouseMoved;
    Point location;
    MouseButton button = MouseButton::left;
    // Keyboard events.
    std::uint16_t keyCode = 0;
    bool keyDown = false;
    // Scroll-wheel events, pixel units, two wheels.
    std::int32_t wheel1 = 0; // vertical
    std::int32_t wheel2 = 0; // horizontal
    // Set after creation.
    std::uint64_t flags = 0;
    std::array<std::pair<EventField, std::int64_t>, maximumFields> fields{};
    std::size_t fieldCount = 0;

    // The three kinds of event as a backend creates them, before fields and flags are set.
    static InputEvent mouse(std::optional<EventSource> source, MouseEventType type, Point location,
                            MouseButton button) noexcept;
    static InputEvent keyboard(std::optional<EventSource> source, std::uint16_t keyCode,
                               bool keyDown) noexcept;
    static InputEvent scrollWheel(std::optional<EventSource> source, std::int32_t vertical,
                                  std::int32_t horizontal) noexcept;

    // Replaces an earlier value of the same field.
    void setIntegerField(EventField field, std::int64_t value) noexcept;
    std::optional<std::int64_t> integerField(EventField field) const noexcept;
    void setFlags(std::uint64_t newFlags) noexcept { flags = newFlags; }

    bool operator==(const InputEvent& other) const noexcept;
};

// A screen list from frames in a top-left global space (y downwards, any origin), primary
// first, as Qt's screen geometries and mutter's logical monitors give them.
ScreenList screenListFromTopLeft(std::span<const Rect> frames) noexcept;

// One line describing an event, for the event log and test messages, e.g.
// "mouse type=5 x=100 y=200 button=0 flags=0x0 4=3 5=-2".
std::string describe(const InputEvent& event);

class EventSystem {
  public:
    virtual ~EventSystem() = default;

    // A source for the events of one injector, or none.
    virtual std::optional<EventSource> createEventSource() = 0;
    // The pointer in global display space, or none when it cannot be read.
    virtual std::optional<Point> pointerLocation() = 0;
    // The displays, primary first, frames in the bottom-left orientation. Read afresh on
    // every call so display changes take effect at once.
    virtual ScreenList screens() = 0;
    // Event creation may fail; the caller then drops the event.
    virtual std::optional<InputEvent> mouseEvent(std::optional<EventSource> source,
                                                 MouseEventType type, Point location,
                                                 MouseButton button) = 0;
    virtual std::optional<InputEvent> keyboardEvent(std::optional<EventSource> source,
                                                    std::uint16_t keyCode, bool keyDown) = 0;
    virtual std::optional<InputEvent> scrollWheelEvent(std::optional<EventSource> source,
                                                       std::int32_t vertical,
                                                       std::int32_t horizontal) = 0;
    // Delivers the event; events reach the system in the order posted. No result.
    virtual void post(const InputEvent& event) = 0;
    // Seconds between the clicks of a double click, as the desktop defines it.
    virtual double doubleClickInterval() = 0;
    // Whether posted events actually reach the system. The application polls it once a
    // second, so a backend may use the call to find a lost system again.
    virtual bool isTrusted() = 0;
    // Why events do not reach the system, for the status line when the backend knows better
    // than a missing permission; none when it has nothing to add.
    virtual std::optional<std::string> untrustedReason() { return std::nullopt; }
};

} // namespace ravnix
