#include "platform/events/EvdevInput.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <linux/input-event-codes.h>

namespace ravnix {
namespace {

constexpr std::uint16_t kVirtualKeyF11 = 103;

// Virtual key codes of the keyboard layout the phone side speaks, to Linux key codes (the
// same keys as the X11 backend's table).
constexpr EvdevKeyEntry kKeys[] = {
    {0, KEY_A},          {1, KEY_S},           {2, KEY_D},           {3, KEY_F},
    {4, KEY_H},          {5, KEY_G},           {6, KEY_Z},           {7, KEY_X},
    {8, KEY_C},          {9, KEY_V},           {11, KEY_B},          {12, KEY_Q},
    {13, KEY_W},         {14, KEY_E},          {15, KEY_R},          {16, KEY_Y},
    {17, KEY_T},         {18, KEY_1},          {19, KEY_2},          {20, KEY_3},
    {21, KEY_4},         {22, KEY_6},          {23, KEY_5},          {24, KEY_EQUAL},
    {25, KEY_9},         {26, KEY_7},          {27, KEY_MINUS},      {28, KEY_8},
    {29, KEY_0},         {30, KEY_RIGHTBRACE}, {31, KEY_O},          {32, KEY_U},
    {33, KEY_LEFTBRACE}, {34, KEY_I},          {35, KEY_P},          {36, KEY_ENTER},
    {37, KEY_L},         {38, KEY_J},          {39, KEY_APOSTROPHE}, {40, KEY_K},
    {41, KEY_SEMICOLON}, {42, KEY_BACKSLASH},  {43, KEY_COMMA},      {44, KEY_SLASH},
    {45, KEY_N},         {46, KEY_M},          {47, KEY_DOT},        {48, KEY_TAB},
    {49, KEY_SPACE},     {50, KEY_GRAVE},      {51, KEY_BACKSPACE},  {53, KEY_ESC},
    {96, KEY_F5},        {97, KEY_F6},         {98, KEY_F7},         {99, KEY_F3},
    {100, KEY_F8},       {101, KEY_F9},        {103, KEY_F11},       {105, KEY_F13},
    {107, KEY_F14},      {109, KEY_F10},       {111, KEY_F12},       {113, KEY_F15},
    {114, KEY_HELP},     {115, KEY_HOME},      {116, KEY_PAGEUP},    {117, KEY_DELETE},
    {118, KEY_F4},       {119, KEY_END},       {120, KEY_F2},        {121, KEY_PAGEDOWN},
    {122, KEY_F1},       {123, KEY_LEFT},      {124, KEY_RIGHT},     {125, KEY_DOWN},
    {126, KEY_UP},       {65, KEY_KPDOT},      {67, KEY_KPASTERISK}, {69, KEY_KPPLUS},
    {75, KEY_KPSLASH},   {76, KEY_KPENTER},    {78, KEY_KPMINUS},    {81, KEY_KPEQUAL},
    {82, KEY_KP0},       {83, KEY_KP1},
};

constexpr std::uint16_t kModifierKeys[] = {KEY_LEFTSHIFT, KEY_LEFTCTRL, KEY_LEFTALT, KEY_LEFTMETA};

EvdevCall keyCall(std::int32_t code, bool down) noexcept {
    EvdevCall call;
    call.kind = EvdevCall::Kind::key;
    call.code = code;
    call.state = down ? 1 : 0;
    return call;
}

// The modifiers of `flags` pressed (in this order) or released (in the reverse one). Fn has
// no key here. On scroll events Command becomes Control: applications zoom on Ctrl+scroll.
void addModifiers(std::uint64_t flags, bool down, bool commandIsControl, EvdevCalls& out) noexcept {
    std::array<std::int32_t, 4> held{};
    std::size_t count = 0;
    if (flags & EventFlags::shift) {
        held[count++] = KEY_LEFTSHIFT;
    }
    if ((flags & EventFlags::control) || (commandIsControl && (flags & EventFlags::command))) {
        held[count++] = KEY_LEFTCTRL;
    }
    if (flags & EventFlags::option) {
        held[count++] = KEY_LEFTALT;
    }
    if (!commandIsControl && (flags & EventFlags::command)) {
        held[count++] = KEY_LEFTMETA;
    }
    if (down) {
        for (std::size_t i = 0; i < count; ++i) {
            out.add(keyCall(held[i], true));
        }
    } else {
        for (std::size_t i = count; i-- > 0;) {
            out.add(keyCall(held[i], false));
        }
    }
}

std::int32_t discreteSteps(std::int64_t lines) noexcept {
    // Lines count upwards (leftwards); steps count downwards (rightwards).
    const std::int64_t limit = EvdevInput::maximumDiscreteSteps;
    return static_cast<std::int32_t>(-std::clamp<std::int64_t>(lines, -limit, limit));
}

} // namespace

std::span<const EvdevKeyEntry> evdevKeyTable() noexcept {
    return kKeys;
}

std::span<const std::uint16_t> evdevModifierKeys() noexcept {
    return kModifierKeys;
}

std::optional<std::uint16_t> evdevKeyForVirtualKey(std::uint16_t keyCode) noexcept {
    for (const auto& entry : kKeys) {
        if (entry.virtualKey == keyCode) {
            return entry.evdev;
        }
    }
    return std::nullopt;
}

EvdevCalls EvdevInput::translate(const InputEvent& event) noexcept {
    EvdevCalls out;
    switch (event.kind) {
    case InputEvent::Kind::mouse: {
        // Buttons act where the event says, as on X11: a location away from ours moves first.
        addMotionTo(event.location, out);
        EvdevCall button;
        button.kind = EvdevCall::Kind::button;
        button.code = event.button == MouseButton::right ? BTN_RIGHT : BTN_LEFT;
        switch (event.mouseType) {
        case MouseEventType::leftMouseDown:
        case MouseEventType::rightMouseDown:
            button.state = 1;
            out.add(button);
            break;
        case MouseEventType::leftMouseUp:
        case MouseEventType::rightMouseUp:
            button.state = 0;
            out.add(button);
            break;
        case MouseEventType::mouseMoved:
        case MouseEventType::leftMouseDragged:
            break;
        }
        break;
    }
    case InputEvent::Kind::keyboard:
        addKey(event, out);
        break;
    case InputEvent::Kind::scrollWheel:
        addScroll(event, out);
        break;
    }
    return out;
}

Point EvdevInput::keepOnScreens(const ScreenList& screens) noexcept {
    if (screens.empty()) {
        return position_;
    }
    // Frames are bottom-left; the position is top-left with the primary's top at 0.
    const double primaryMaxY = screens.frames[0].maxY();
    const double x = position_.x;
    const double y = primaryMaxY - position_.y;
    double bestDistance = std::numeric_limits<double>::infinity();
    Point best = position_;
    for (const Rect& frame : screens) {
        const double cx = std::clamp(x, frame.minX(), std::max(frame.minX(), frame.maxX() - 1));
        const double cy = std::clamp(y, frame.minY(), std::max(frame.minY(), frame.maxY() - 1));
        const double distance = std::hypot(x - cx, y - cy);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = {cx, primaryMaxY - cy};
        }
    }
    position_ = best;
    return best;
}

void EvdevInput::addMotionTo(Point location, EvdevCalls& out) noexcept {
    if (location == position_) {
        return;
    }
    EvdevCall motion;
    motion.kind = EvdevCall::Kind::motion;
    motion.dx = location.x - position_.x;
    motion.dy = location.y - position_.y;
    // The next step starts where the event said, not at position + delta, so no rounding of
    // the delta ever accumulates.
    position_ = location;
    out.add(motion);
}

void EvdevInput::addScroll(const InputEvent& event, EvdevCalls& out) noexcept {
    const bool continuous = event.integerField(EventField::scrollIsContinuous).value_or(0) != 0;
    EvdevCalls axis;
    if (continuous) {
        const std::int64_t phase = event.integerField(EventField::scrollPhase).value_or(0);
        // Phase 4 ends the gesture, 8 cancels it: either way the scroll stops here.
        const bool finish = phase == 4 || phase == 8;
        if (event.wheel1 == 0 && event.wheel2 == 0 && !finish) {
            return;
        }
        EvdevCall call;
        call.kind = EvdevCall::Kind::axis;
        // Negated as integers, so that no wheel gives -0.0.
        call.dx = static_cast<double>(-std::int64_t{event.wheel2});
        call.dy = static_cast<double>(-std::int64_t{event.wheel1});
        call.finish = finish;
        axis.add(call);
    } else {
        const std::int32_t vertical =
            discreteSteps(event.integerField(EventField::scrollDeltaAxis1).value_or(0));
        const std::int32_t horizontal =
            discreteSteps(event.integerField(EventField::scrollDeltaAxis2).value_or(0));
        for (const auto& [axisNumber, steps] : {std::pair{0, vertical}, std::pair{1, horizontal}}) {
            if (steps != 0) {
                EvdevCall call;
                call.kind = EvdevCall::Kind::discrete;
                call.code = axisNumber;
                call.value = steps;
                axis.add(call);
            }
        }
        if (axis.count == 0) {
            return;
        }
    }
    addModifiers(event.flags, true, true, out);
    for (const auto& call : axis) {
        out.add(call);
    }
    addModifiers(event.flags, false, true, out);
}

void EvdevInput::addKey(const InputEvent& event, EvdevCalls& out) noexcept {
    // The show-desktop hot key: Super+D, tapped whole on key-down so that it toggles once.
    if (event.keyCode == kVirtualKeyF11 && (event.flags & EventFlags::secondaryFn)) {
        if (event.keyDown) {
            out.add(keyCall(KEY_LEFTMETA, true));
            out.add(keyCall(KEY_D, true));
            out.add(keyCall(KEY_D, false));
            out.add(keyCall(KEY_LEFTMETA, false));
        }
        return;
    }
    const auto key = evdevKeyForVirtualKey(event.keyCode);
    if (!key) {
        return;
    }
    if (event.keyDown) {
        addModifiers(event.flags, true, false, out);
        out.add(keyCall(*key, true));
    } else {
        out.add(keyCall(*key, false));
        addModifiers(event.flags, false, false, out);
    }
}

} // namespace ravnix
