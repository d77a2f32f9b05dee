#include "platform/events/EventSystem.hpp"

#include "transport/CFormat.hpp"

#include <cinttypes>

namespace ravnix {

InputEvent InputEvent::mouse(std::optional<EventSource> source, MouseEventType type, Point location,
                             MouseButton button) noexcept {
    InputEvent event;
    event.kind = Kind::mouse;
    event.source = source;
    event.mouseType = type;
    event.location = location;
    event.button = button;
    return event;
}

InputEvent InputEvent::keyboard(std::optional<EventSource> source, std::uint16_t keyCode,
                                bool keyDown) noexcept {
    InputEvent event;
    event.kind = Kind::keyboard;
    event.source = source;
    event.keyCode = keyCode;
    event.keyDown = keyDown;
    return event;
}

InputEvent InputEvent::scrollWheel(std::optional<EventSource> source, std::int32_t vertical,
                                   std::int32_t horizontal) noexcept {
    InputEvent event;
    event.kind = Kind::scrollWheel;
    event.source = source;
    event.wheel1 = vertical;
    event.wheel2 = horizontal;
    return event;
}

void InputEvent::setIntegerField(EventField field, std::int64_t value) noexcept {
    for (std::size_t i = 0; i < fieldCount; ++i) {
        if (fields[i].first == field) {
            fields[i].second = value;
            return;
        }
    }
    if (fieldCount < maximumFields) {
        fields[fieldCount++] = {field, value};
    }
}

std::optional<std::int64_t> InputEvent::integerField(EventField field) const noexcept {
    for (std::size_t i = 0; i < fieldCount; ++i) {
        if (fields[i].first == field) {
            return fields[i].second;
        }
    }
    return std::nullopt;
}

bool InputEvent::operator==(const InputEvent& other) const noexcept {
    if (kind != other.kind || source != other.source || mouseType != other.mouseType ||
        location != other.location || button != other.button || keyCode != other.keyCode ||
        keyDown != other.keyDown || wheel1 != other.wheel1 || wheel2 != other.wheel2 ||
        flags != other.flags || fieldCount != other.fieldCount) {
        return false;
    }
    // Fields compare as a set: the order they were set in does not matter.
    for (std::size_t i = 0; i < fieldCount; ++i) {
        if (other.integerField(fields[i].first) != fields[i].second) {
            return false;
        }
    }
    return true;
}

std::string describe(const InputEvent& event) {
    std::string line;
    switch (event.kind) {
    case InputEvent::Kind::mouse:
        line =
            formatC("mouse type=%u x=%.2f y=%.2f button=%u", static_cast<unsigned>(event.mouseType),
                    event.location.x, event.location.y, static_cast<unsigned>(event.button));
        break;
    case InputEvent::Kind::keyboard:
        line = formatC("key code=%u %s", unsigned{event.keyCode}, event.keyDown ? "down" : "up");
        break;
    case InputEvent::Kind::scrollWheel:
        line = formatC("scroll wheel1=%d wheel2=%d", static_cast<int>(event.wheel1),
                       static_cast<int>(event.wheel2));
        break;
    }
    line += formatC(" flags=0x%" PRIx64, event.flags);
    for (std::size_t i = 0; i < event.fieldCount; ++i) {
        line += formatC(" %u=%" PRId64, static_cast<unsigned>(event.fields[i].first),
                        event.fields[i].second);
    }
    return line;
}

ScreenList screenListFromTopLeft(std::span<const Rect> frames) noexcept {
    ScreenList list;
    if (frames.empty()) {
        return list;
    }
    const Rect& primary = frames.front();
    // Bottom-left frames: y' = primary height − (top relative to the primary) − height.
    for (const Rect& frame : frames) {
        list.add({frame.x - primary.x, primary.height - (frame.y - primary.y) - frame.height,
                  frame.width, frame.height});
    }
    return list;
}

} // namespace ravnix
