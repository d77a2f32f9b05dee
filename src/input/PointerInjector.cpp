#include "input/PointerInjector.hpp"

#include "transport/CFormat.hpp"
#include "transport/MonotonicClock.hpp"

#include <algorithm>
#include <cmath>
#include <fcntl.h>
#include <limits>
#include <system_error>
#include <unistd.h>

namespace ravnix {
namespace {

constexpr double kMinimumInterval = 0.002; // a faster frame counts as 2 ms
constexpr double kSmoothingPause = 0.1;    // a longer pause drops the speed history

std::int64_t roundHalfAway(double value) noexcept {
    return static_cast<std::int64_t>(std::round(value));
}

bool fitsInt32(double value) noexcept {
    return value >= static_cast<double>(std::numeric_limits<std::int32_t>::min()) &&
           value <= static_cast<double>(std::numeric_limits<std::int32_t>::max());
}

const char* buttonEventName(MouseEventType type) noexcept {
    switch (type) {
    case MouseEventType::leftMouseDown:
        return "solBas";
    case MouseEventType::leftMouseUp:
        return "solBirak";
    case MouseEventType::rightMouseDown:
        return "sagBas";
    case MouseEventType::rightMouseUp:
        return "sagBirak";
    default:
        return nullptr;
    }
}

} // namespace

Point clampToScreens(Point point, const ScreenList& screens) noexcept {
    if (screens.empty()) {
        return point;
    }
    const double primaryMaxY = screens.frames[0].maxY();
    const double x = point.x;
    const double y = primaryMaxY - point.y;
    for (const Rect& frame : screens) {
        if (x >= frame.minX() && x < frame.maxX() && y >= frame.minY() && y < frame.maxY()) {
            return point;
        }
    }
    double bestDistance = std::numeric_limits<double>::infinity();
    Point best = point;
    for (const Rect& frame : screens) {
        const double cx = std::clamp(x, frame.minX(), std::max(frame.minX(), frame.maxX() - 1));
        const double cy = std::clamp(y, frame.minY(), std::max(frame.minY(), frame.maxY() - 1));
        const double distance = std::hypot(x - cx, y - cy);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = {cx, primaryMaxY - cy};
        }
    }
    return best;
}

PointerInjector::PointerInjector(std::shared_ptr<EventSystem> eventSystem, PointerSettings settings,
                                 std::filesystem::path clickLog, Clock clockFunction)
    : events(std::move(eventSystem)), clickLogFile(std::move(clickLog)),
      clock(clockFunction ? std::move(clockFunction) : Clock([] { return MonotonicClock::now(); })),
      settings_(settings) {
    source = events->createEventSource();
    const double interval = events->doubleClickInterval();
    doubleClickWindow_ = interval > 0.05 && interval < 2.0 ? interval : 0.5;
}

void PointerInjector::move(double dx, double dy, double elapsed) {
    if (!std::isfinite(dx) || !std::isfinite(dy) || !std::isfinite(elapsed)) {
        return; // outside the input domain: dropped, nothing changes
    }
    std::lock_guard lock(injectorLock);
    if (dx == 0 && dy == 0) {
        smoothedSpeed = 0;
        return;
    }
    const auto origin = events->pointerLocation();
    if (!origin) {
        return;
    }
    const double px = dx * pointsPerUnit_;
    const double py = dy * pointsPerUnit_;
    const double interval = elapsed > kMinimumInterval ? elapsed : kMinimumInterval;
    double speed = std::sqrt(px * px + py * py) / interval;
    if (elapsed <= kSmoothingPause) {
        speed = smoothedSpeed + (speed - smoothedSpeed) * speedSmoothing;
    }
    smoothedSpeed = speed;
    const double gain = settings_.gain(speed);
    double mx = px * gain;
    double my = py * gain;
    const double length = std::sqrt(mx * mx + my * my);
    const bool clamped = length > maximumJump;
    if (clamped) {
        mx *= maximumJump / length;
        my *= maximumJump / length;
        clampedJumps_.fetch_add(1, std::memory_order_relaxed);
    }
    last = {speed, gain, mx, my, clamped};

    const Point target = clampToScreens({origin->x + mx, origin->y + my}, events->screens());
    const auto type = isLeftDown_.load(std::memory_order_relaxed) ? MouseEventType::leftMouseDragged
                                                                  : MouseEventType::mouseMoved;
    auto event = events->mouseEvent(source, type, target, MouseButton::left);
    if (!event) {
        return;
    }
    event->setIntegerField(EventField::mouseDeltaX, roundHalfAway(target.x - origin->x));
    event->setIntegerField(EventField::mouseDeltaY, roundHalfAway(target.y - origin->y));
    events->post(*event);
}

std::int64_t PointerInjector::localClickState(double x, double y) {
    std::lock_guard lock(injectorLock);
    return localClickStateLocked(x, y);
}

std::int64_t PointerInjector::localClickStateLocked(double x, double y) {
    const std::uint64_t now = clock();
    lastElapsed = static_cast<double>(now - lastClickAt) / 1e9;
    lastMoved = std::hypot(x - lastClickLocation.x, y - lastClickLocation.y);
    const std::int64_t state = lastElapsed <= doubleClickWindow_ && lastMoved <= multiClickRadius
                                   ? std::min<std::int64_t>(clickState_ + 1, 3)
                                   : 1;
    clickState_ = state;
    lastClickAt = now;
    lastClickLocation = {x, y};
    return state;
}

void PointerInjector::press(MouseButton button, std::uint8_t clickCount) {
    std::lock_guard lock(injectorLock);
    const auto location = events->pointerLocation();
    if (!location) {
        return;
    }
    std::int64_t count = 1;
    if (button != MouseButton::right) {
        if (isLeftDown_.load(std::memory_order_relaxed)) {
            appendClickLogLocked("solBas ATLANDI: tus zaten basili");
            return;
        }
        count = std::clamp<std::int64_t>(clickCount, 1, 3);
        lastLocalState_ = localClickStateLocked(location->x, location->y);
        clickState_ = count;
        isLeftDown_.store(true, std::memory_order_relaxed);
    }
    postButtonLocked(button,
                     button == MouseButton::right ? MouseEventType::rightMouseDown
                                                  : MouseEventType::leftMouseDown,
                     count, location->x, location->y);
}

void PointerInjector::release(MouseButton button) {
    std::lock_guard lock(injectorLock);
    releaseLocked(button, std::nullopt);
}

void PointerInjector::release(MouseButton button, std::int64_t clickCount) {
    std::lock_guard lock(injectorLock);
    releaseLocked(button, clickCount);
}

void PointerInjector::releaseLocked(MouseButton button, std::optional<std::int64_t> clickCount) {
    const bool left = button != MouseButton::right;
    if (left && !isLeftDown_.load(std::memory_order_relaxed)) {
        return;
    }
    const auto location = events->pointerLocation();
    if (!location) {
        return; // the button stays down, so a later release can still post the up
    }
    const std::int64_t count = clickCount ? *clickCount : (left ? clickState_ : 1);
    if (left) {
        isLeftDown_.store(false, std::memory_order_relaxed);
    }
    postButtonLocked(button, left ? MouseEventType::leftMouseUp : MouseEventType::rightMouseUp,
                     count, location->x, location->y);
}

void PointerInjector::postButtonLocked(MouseButton button, MouseEventType type,
                                       std::int64_t clickCount, double x, double y) {
    const std::uint64_t now = clock();
    const double gap = lastLoggedAt != 0 ? static_cast<double>(now - lastLoggedAt) / 1e6 : 0.0;
    lastLoggedAt = now;
    const char* name = buttonEventName(type);
    const std::string typeNumber = std::to_string(static_cast<unsigned>(type));
    appendClickLogLocked(
        formatC("%s state=%d yerel=%d x=%.0f y=%.0f aralik=%.0fms mesafe=%.0f bayrak=%d parmak=%d",
                name ? name : typeNumber.c_str(), static_cast<int>(clickCount),
                static_cast<int>(lastLocalState_), x, y, gap, lastMoved,
                static_cast<int>(lastFlags), lastFingers));
    auto event = events->mouseEvent(source, type, {x, y}, button);
    if (!event) {
        return;
    }
    event->setIntegerField(EventField::mouseClickState, clickCount);
    events->post(*event);
}

void PointerInjector::postKey(std::uint16_t keyCode, std::uint64_t flags) {
    std::lock_guard lock(injectorLock);
    for (const bool down : {true, false}) {
        if (auto event = events->keyboardEvent(source, keyCode, down)) {
            event->setFlags(flags);
            events->post(*event);
        }
    }
}

void PointerInjector::scroll(ScrollPhase phase, std::uint64_t flags, double dx, double dy) {
    if (!std::isfinite(dx) || !std::isfinite(dy)) {
        return;
    }
    std::lock_guard lock(injectorLock);
    Residuals start = phase == ScrollPhase::began ? Residuals{} : residuals_;
    const double ax = dx + start.scrollX;
    const double ay = dy + start.scrollY;
    const double px = std::trunc(ax);
    const double py = std::trunc(ay);
    if (!fitsInt32(px) || !fitsInt32(py)) {
        return; // outside the wheel's range: dropped, remainders untouched
    }
    const double lx = px / pointsPerLine + start.lineX;
    const double ly = py / pointsPerLine + start.lineY;
    const double linesX = std::trunc(lx);
    const double linesY = std::trunc(ly);
    residuals_ = {ax - px, ay - py, lx - linesX, ly - linesY};

    auto event = events->scrollWheelEvent(source, static_cast<std::int32_t>(py),
                                          static_cast<std::int32_t>(px));
    if (!event) {
        return;
    }
    const std::int64_t postedPhase = phase == ScrollPhase::began     ? 1
                                     : phase == ScrollPhase::changed ? 2
                                                                     : 4;
    event->setIntegerField(EventField::scrollIsContinuous, 1);
    event->setIntegerField(EventField::scrollDeltaAxis1, static_cast<std::int64_t>(linesY));
    event->setIntegerField(EventField::scrollDeltaAxis2, static_cast<std::int64_t>(linesX));
    event->setIntegerField(EventField::scrollPhase, postedPhase);
    event->setIntegerField(EventField::scrollMomentumPhase, 0);
    if (flags != 0) {
        event->setFlags(flags);
    }
    events->post(*event);
}

void PointerInjector::appendClickLog(const std::string& line) {
    std::lock_guard lock(injectorLock);
    appendClickLogLocked(line);
}

void PointerInjector::appendClickLogLocked(const std::string& line) {
    if (clickLogFile.empty()) {
        return;
    }
    if (!clickLogFolderTried) {
        clickLogFolderTried = true;
        std::error_code ignored;
        std::filesystem::create_directories(clickLogFile.parent_path(), ignored);
    }
    const int fd = ::open(clickLogFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    std::string data = line;
    data += '\n';
    // One write per line with O_APPEND, so even another process appending cannot split it.
    (void)!::write(fd, data.data(), data.size());
    ::close(fd);
}

void PointerInjector::setSettings(const PointerSettings& settings) {
    std::lock_guard lock(injectorLock);
    settings_ = settings;
}
void PointerInjector::setPointsPerUnit(double value) {
    std::lock_guard lock(injectorLock);
    pointsPerUnit_ = value;
}
PointerSettings PointerInjector::settings() const {
    std::lock_guard lock(injectorLock);
    return settings_;
}
double PointerInjector::pointsPerUnit() const {
    std::lock_guard lock(injectorLock);
    return pointsPerUnit_;
}
void PointerInjector::setFrameContext(std::uint8_t flags, int fingers) {
    std::lock_guard lock(injectorLock);
    lastFlags = flags;
    lastFingers = fingers;
}
PointerInjector::LastStep PointerInjector::lastStep() const {
    std::lock_guard lock(injectorLock);
    return last;
}
PointerInjector::Residuals PointerInjector::residuals() const {
    std::lock_guard lock(injectorLock);
    return residuals_;
}
std::int64_t PointerInjector::clickState() const {
    std::lock_guard lock(injectorLock);
    return clickState_;
}
std::int64_t PointerInjector::lastLocalState() const {
    std::lock_guard lock(injectorLock);
    return lastLocalState_;
}

} // namespace ravnix
