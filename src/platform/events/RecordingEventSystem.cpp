#include "platform/events/RecordingEventSystem.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace ravnix {

RecordingEventSystem::RecordingEventSystem() {
    screenList.add({0, 0, 1440, 900});
    pointer = Point{720, 450};
}

std::optional<EventSource> RecordingEventSystem::createEventSource() {
    std::lock_guard lock(recorderLock);
    if (failCreation) {
        return std::nullopt;
    }
    return EventSource{nextSource++};
}

std::optional<Point> RecordingEventSystem::pointerLocation() {
    std::lock_guard lock(recorderLock);
    return pointer;
}

ScreenList RecordingEventSystem::screens() {
    std::lock_guard lock(recorderLock);
    return screenList;
}

std::optional<InputEvent> RecordingEventSystem::mouseEvent(std::optional<EventSource> source,
                                                           MouseEventType type, Point location,
                                                           MouseButton button) {
    std::lock_guard lock(recorderLock);
    if (failCreation) {
        return std::nullopt;
    }
    return InputEvent::mouse(source, type, location, button);
}

std::optional<InputEvent> RecordingEventSystem::keyboardEvent(std::optional<EventSource> source,
                                                              std::uint16_t keyCode, bool keyDown) {
    std::lock_guard lock(recorderLock);
    if (failCreation) {
        return std::nullopt;
    }
    return InputEvent::keyboard(source, keyCode, keyDown);
}

std::optional<InputEvent> RecordingEventSystem::scrollWheelEvent(std::optional<EventSource> source,
                                                                 std::int32_t vertical,
                                                                 std::int32_t horizontal) {
    std::lock_guard lock(recorderLock);
    if (failCreation) {
        return std::nullopt;
    }
    return InputEvent::scrollWheel(source, vertical, horizontal);
}

void RecordingEventSystem::post(const InputEvent& event) {
    std::shared_ptr<const std::function<void(const InputEvent&)>> callback;
    {
        std::lock_guard lock(recorderLock);
        ++count;
        if (keepEvents) {
            posted.push_back(event);
        }
        if (event.kind == InputEvent::Kind::mouse && pointer) {
            pointer = event.location;
        }
        callback = onPost;
    }
    if (callback && *callback) {
        (*callback)(event);
    }
}

double RecordingEventSystem::doubleClickInterval() {
    std::lock_guard lock(recorderLock);
    return clickInterval;
}

bool RecordingEventSystem::isTrusted() {
    std::lock_guard lock(recorderLock);
    return trusted;
}

void RecordingEventSystem::setPointer(std::optional<Point> location) {
    std::lock_guard lock(recorderLock);
    pointer = location;
}
void RecordingEventSystem::setScreens(const ScreenList& list) {
    std::lock_guard lock(recorderLock);
    screenList = list;
}
void RecordingEventSystem::setFailCreation(bool fail) {
    std::lock_guard lock(recorderLock);
    failCreation = fail;
}
void RecordingEventSystem::setDoubleClickInterval(double seconds) {
    std::lock_guard lock(recorderLock);
    clickInterval = seconds;
}
void RecordingEventSystem::setTrusted(bool value) {
    std::lock_guard lock(recorderLock);
    trusted = value;
}
void RecordingEventSystem::setKeepEvents(bool keep) {
    std::lock_guard lock(recorderLock);
    keepEvents = keep;
}
void RecordingEventSystem::setOnPost(std::function<void(const InputEvent&)> callback) {
    auto shared =
        std::make_shared<const std::function<void(const InputEvent&)>>(std::move(callback));
    std::lock_guard lock(recorderLock);
    onPost = std::move(shared);
}

bool RecordingEventSystem::logTo(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    // The descriptor lives as long as the callback; each line is one append-mode write.
    auto descriptor = std::shared_ptr<int>(new int(fd), [](int* p) {
        ::close(*p);
        delete p;
    });
    setOnPost([descriptor](const InputEvent& event) {
        const std::string line = describe(event) + '\n';
        (void)!::write(*descriptor, line.data(), line.size());
    });
    return true;
}

std::vector<InputEvent> RecordingEventSystem::events() const {
    std::lock_guard lock(recorderLock);
    return posted;
}
std::vector<InputEvent> RecordingEventSystem::takeEvents() {
    std::lock_guard lock(recorderLock);
    return std::exchange(posted, {});
}
std::size_t RecordingEventSystem::postedCount() const {
    std::lock_guard lock(recorderLock);
    return count;
}

} // namespace ravnix
