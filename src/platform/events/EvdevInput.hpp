#pragma once
// What the backends that speak Linux input codes and relative motion (the remote-control
// portal, the wlroots virtual devices, uinput) send for the core's events: each posted event
// becomes a short, ordered list of input calls. No system interface here, so the rules can be
// checked on their own and stay the same on every such backend.
//
// Motion is relative: the backend keeps its own pointer position, and a mouse event's location
// minus that position is the step, in logical pixels, kept as a double so that sub-pixel steps
// add up exactly. Scrolling on the core's side is positive upwards and leftwards; the calls'
// axes are positive downwards and rightwards, as Wayland's and the portal's are. Keys are
// Linux key codes (linux/input-event-codes.h), modifiers pressed around them as keys.

#include "platform/events/EventSystem.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace ravnix {

// One input call.
struct EvdevCall {
    enum class Kind : std::uint8_t {
        motion,   // relative motion (dx, dy)
        button,   // button `code` pressed (state 1) or released (0)
        axis,     // smooth scrolling (dx, dy) in pixels; `finish` ends the gesture
        discrete, // `value` wheel steps on axis `code` (0 vertical, 1 horizontal)
        key,      // key `code` pressed (state 1) or released (0)
    };
    Kind kind = Kind::motion;
    double dx = 0;
    double dy = 0;
    std::int32_t code = 0;
    std::int32_t value = 0;
    std::uint32_t state = 0; // 1 pressed, 0 released
    bool finish = false;

    bool operator==(const EvdevCall&) const = default;
};

// The calls one event turns into; the longest is a key with four modifiers around it.
struct EvdevCalls {
    static constexpr std::size_t capacity = 12;
    std::array<EvdevCall, capacity> calls{};
    std::size_t count = 0;

    const EvdevCall* begin() const noexcept { return calls.data(); }
    const EvdevCall* end() const noexcept { return calls.data() + count; }
    void add(const EvdevCall& call) noexcept {
        if (count < capacity) {
            calls[count++] = call;
        }
    }
};

// A virtual key code of the core and the Linux key code it stands for.
struct EvdevKeyEntry {
    std::uint16_t virtualKey = 0;
    std::uint16_t evdev = 0;
    bool operator==(const EvdevKeyEntry&) const = default;
};

// Every key the backends send for the core's virtual key codes (modifiers not included).
std::span<const EvdevKeyEntry> evdevKeyTable() noexcept;
// The modifier keys the calls may hold: Shift, Control, Alt and Super (left ones).
std::span<const std::uint16_t> evdevModifierKeys() noexcept;

// The Linux input key code for a virtual key code of the core, or none for codes without a key
// here.
std::optional<std::uint16_t> evdevKeyForVirtualKey(std::uint16_t keyCode) noexcept;

// Turns events into input calls and keeps the pointer position they imply.
class EvdevInput {
  public:
    // The calls for `event`; `position` moves with the pointer motion they carry.
    EvdevCalls translate(const InputEvent& event) noexcept;

    Point position() const noexcept { return position_; }
    void setPosition(Point point) noexcept { position_ = point; }
    // Moves the position onto the nearest of `screens` (frames in the bottom-left orientation)
    // and returns it: the compositor keeps its pointer on a screen too, so that is where the
    // next step starts. No screens: the position stays.
    Point keepOnScreens(const ScreenList& screens) noexcept;

    static constexpr std::int32_t maximumDiscreteSteps = 64; // one event never floods

  private:
    void addMotionTo(Point location, EvdevCalls& out) noexcept;
    void addScroll(const InputEvent& event, EvdevCalls& out) noexcept;
    void addKey(const InputEvent& event, EvdevCalls& out) noexcept;

    Point position_;
};

// Whole units out of fractional amounts, keeping what is left over for the next amount, so
// that many small steps add up to what was asked (wl_fixed's 1/256 pixel, uinput's whole
// pixels, high-resolution wheel units).
class UnitCarry {
  public:
    // The whole units of `amount` × `unitsPerOne` plus the remainder so far; the new
    // remainder stays. Amounts beyond ±2^30 units are cut there.
    std::int32_t take(double amount, double unitsPerOne) noexcept {
        const double total = amount * unitsPerOne + remainder;
        if (!std::isfinite(total)) {
            return 0;
        }
        constexpr double limit = 1073741824.0;
        const double whole = std::trunc(total < -limit ? -limit : (total > limit ? limit : total));
        remainder = total - whole;
        if (remainder <= -1 || remainder >= 1) {
            remainder = 0; // cut at the limit: no debt carried
        }
        return static_cast<std::int32_t>(whole);
    }
    double pending() const noexcept { return remainder; }
    void reset() noexcept { remainder = 0; }

  private:
    double remainder = 0;
};

} // namespace ravnix
