#include "input/TouchInterpreter.hpp"

#include "transport/CFormat.hpp"
#include "transport/MonotonicClock.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ravnix {
namespace {

constexpr double kDefaultElapsed = 1.0 / 120;
constexpr double kMillimetresPerUnit = 140.0;
constexpr double kScrollStart = 0.5; // points on one axis before a scroll begins
constexpr KeyChord kLookUp{2, EventFlags::control | EventFlags::command};
constexpr KeyChord kShowDesktopDefault{103, EventFlags::secondaryFn};
constexpr std::uint64_t kHotKeyModifierMask = 0x9E0000; // Shift, Control, Option, Command, Fn

bool contains(std::uint8_t flags, TouchFlags flag) noexcept {
    return TouchFlags{flags}.contains(flag);
}

// An integer as the settings store keeps numbers (doubles), wrapped as an unsigned value the
// way a 64-bit integer conversion would; none for values that are not whole numbers in range.
std::optional<std::uint64_t> wholeNumber(const PreferenceValue& value) {
    const auto number = value.asDouble();
    if (!number || !std::isfinite(*number) || *number < -9.2e18 || *number > 1.8e19) {
        return std::nullopt;
    }
    if (*number < 0) {
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(*number));
    }
    return static_cast<std::uint64_t>(*number);
}

} // namespace

KeyChord showDesktopShortcut(const Preferences& preferences) {
    const auto hotKeys =
        preferences.domainValue("com.apple.symbolichotkeys", "AppleSymbolicHotKeys");
    const auto* table = hotKeys ? hotKeys->asDictionary() : nullptr;
    if (table == nullptr) {
        return kShowDesktopDefault;
    }
    const auto entry = table->find("36");
    const auto* command = entry != table->end() ? entry->second.asDictionary() : nullptr;
    if (command == nullptr) {
        return kShowDesktopDefault;
    }
    if (const auto enabled = command->find("enabled"); enabled != command->end()) {
        if (const auto flag = enabled->second.asBool(); flag && !*flag) {
            return kShowDesktopDefault;
        }
    }
    const auto value = command->find("value");
    const auto* binding = value != command->end() ? value->second.asDictionary() : nullptr;
    if (binding == nullptr) {
        return kShowDesktopDefault;
    }
    const auto parametersEntry = binding->find("parameters");
    const auto* parameters =
        parametersEntry != binding->end() ? parametersEntry->second.asArray() : nullptr;
    if (parameters == nullptr || parameters->size() < 3) {
        return kShowDesktopDefault;
    }
    const auto keyCode = wholeNumber((*parameters)[1]);
    if (!keyCode) {
        return kShowDesktopDefault;
    }
    const auto modifiers = wholeNumber((*parameters)[2]);
    if (!modifiers) {
        return kShowDesktopDefault;
    }
    return {static_cast<std::uint16_t>(*keyCode), *modifiers & kHotKeyModifierMask};
}

const touch::Vec2* touch::FingerMap::find(std::uint8_t id) const noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        if (items[i].first == id) {
            return &items[i].second;
        }
    }
    return nullptr;
}

void touch::FingerMap::set(std::uint8_t id, Vec2 position) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        if (items[i].first == id) {
            items[i].second = position;
            return;
        }
    }
    if (count < items.size()) {
        items[count++] = {id, position};
    }
}

std::expected<std::shared_ptr<TouchInterpreter>, PlatformError>
TouchInterpreter::make(Dependencies dependencies, Scheduler releaseScheduler) {
    std::unique_ptr<DispatchQueue> releaseQueue;
    if (!releaseScheduler) {
        auto queue = DispatchQueue::create("com.belvor.ravnix.release");
        if (!queue) {
            return std::unexpected(queue.error());
        }
        releaseQueue = std::move(*queue);
    }
    return std::shared_ptr<TouchInterpreter>(new TouchInterpreter(
        std::move(dependencies), std::move(releaseQueue), std::move(releaseScheduler)));
}

TouchInterpreter::TouchInterpreter(Dependencies d, std::unique_ptr<DispatchQueue> queue,
                                   Scheduler scheduler)
    : injector(std::move(d.injector)), scroll(d.scroll), preferences(std::move(d.preferences)),
      clock(d.clock ? std::move(d.clock) : Clock([] { return MonotonicClock::now(); })),
      diagnostics_(DiagnosticLog::make(std::move(d.motionLog), std::move(d.mainQueue))),
      releaseQueue(std::move(queue)), releaseScheduler(std::move(scheduler)) {}

TouchInterpreter::~TouchInterpreter() = default;

void TouchInterpreter::handle(const TouchHeader& header, std::span<const FingerSample> fingers) {
    const std::uint64_t t = header.deviceTimeNanos;

    // A finger listed twice keeps its last position.
    Active active;
    for (const FingerSample& sample : fingers) {
        if (sample.phase == FingerPhase::ended || sample.phase == FingerPhase::cancelled) {
            continue;
        }
        const Finger finger{sample.id, {sample.x, sample.y}, sample.phase};
        auto* same = std::find_if(active.fingers.begin(),
                                  active.fingers.begin() + static_cast<long>(active.count),
                                  [&](const Finger& f) { return f.id == sample.id; });
        if (same != active.fingers.begin() + static_cast<long>(active.count)) {
            *same = finger;
        } else if (active.count < active.fingers.size()) {
            active.fingers[active.count++] = finger;
        }
    }
    const std::size_t n = active.count;
    const bool allStationary =
        n > 0 && std::all_of(active.fingers.begin(), active.fingers.begin() + static_cast<long>(n),
                             [](const Finger& f) { return f.phase == FingerPhase::stationary; });

    applyFlags(header.flags.rawValue, header.fingerCount, header.clickCount);
    trackContact(active, t);

    if (n == activeCount) {
        if (n != 0) {
            const double elapsed = previousTimeNanos && t > *previousTimeNanos
                                       ? static_cast<double>(t - *previousTimeNanos) / 1e9
                                       : kDefaultElapsed;
            const Vec2 delta = centroidDelta(active);
            if (n == 2) {
                twoFingerStep(active, delta);
            } else if (n == 1 || isButtonDown_.load(std::memory_order_relaxed)) {
                injector->move(delta.x, delta.y, elapsed);
                recordStep(header, static_cast<int>(n), delta, elapsed);
            }
        }
    } else {
        fingerCountChanged(n);
        activeCount = n;
    }
    previous.clear();
    for (std::size_t i = 0; i < n; ++i) {
        previous.set(active.fingers[i].id, active.fingers[i].position);
    }
    if (!allStationary) {
        previousTimeNanos = t;
    }
}

TouchInterpreter::Vec2 TouchInterpreter::centroidDelta(const Active& active) const noexcept {
    Vec2 sum;
    int k = 0;
    for (std::size_t i = 0; i < active.count; ++i) {
        if (const Vec2* before = previous.find(active.fingers[i].id)) {
            sum.x += active.fingers[i].position.x - before->x;
            sum.y += active.fingers[i].position.y - before->y;
            ++k;
        }
    }
    return k == 0 ? Vec2{} : Vec2{sum.x / k, sum.y / k};
}

void TouchInterpreter::recordStep(const TouchHeader& header, int fingers, Vec2 delta,
                                  double elapsed) {
    const auto state = diagnostics_->state();
    if (!state.isRecording) {
        return;
    }
    const auto step = injector->lastStep();
    diagnostics_->record({static_cast<double>(clock() - state.startedAt) / 1e6, header.sequence,
                          fingers, header.flags.rawValue, isPeerRoute_, delta.x, delta.y, elapsed,
                          step.speed, step.gain, step.moveX, step.moveY, step.clamped});
}

void TouchInterpreter::applyFlags(std::uint8_t flags, int fingerCount, std::uint8_t clickCount) {
    injector->setFrameContext(flags, fingerCount);
    if (flags != 0) {
        contactProducedClick = true;
    }
    const bool primaryDown = contains(flags, TouchFlags::primaryDown);
    const bool primaryUp = contains(flags, TouchFlags::primaryUp);
    const bool secondaryDown = contains(flags, TouchFlags::secondaryDown);
    const bool secondaryUp = contains(flags, TouchFlags::secondaryUp);
    const bool leftClick = primaryDown && primaryUp;
    const bool rightClick = secondaryDown && secondaryUp;

    if (primaryDown) {
        injector->press(MouseButton::left, leftClick ? clickCount : 1);
        isButtonDown_.store(true, std::memory_order_relaxed);
    }
    if (secondaryDown) {
        injector->press(MouseButton::right, 1);
    }
    if (leftClick) {
        releaseLater(MouseButton::left, injector->clickState());
    } else if (primaryUp) {
        injector->release(MouseButton::left);
        isButtonDown_.store(false, std::memory_order_relaxed);
    }
    if (rightClick) {
        releaseLater(MouseButton::right, 1);
    } else if (secondaryUp) {
        injector->release(MouseButton::right);
    }
    applyGestureKeys(flags);
}

void TouchInterpreter::releaseLater(MouseButton button, std::int64_t clickCount) {
    auto release = [injector = injector, button, clickCount] {
        injector->release(button, clickCount);
    };
    if (releaseScheduler) {
        releaseScheduler(releaseDelay, std::move(release));
    } else {
        releaseQueue->asyncAfter(releaseDelay, std::move(release));
    }
    if (button == MouseButton::left) {
        isButtonDown_.store(false, std::memory_order_relaxed);
    }
}

void TouchInterpreter::applyGestureKeys(std::uint8_t flags) {
    if (contains(flags, TouchFlags::lookUp)) {
        injector->postKey(kLookUp.keyCode, kLookUp.modifiers);
    }
    if (contains(flags, TouchFlags::showDesktop)) {
        const KeyChord chord =
            preferences ? showDesktopShortcut(*preferences) : kShowDesktopDefault;
        injector->postKey(chord.keyCode, chord.modifiers);
    }
}

void TouchInterpreter::safetyRelease() {
    if (!isButtonDown_.load(std::memory_order_relaxed)) {
        return;
    }
    injector->release(MouseButton::left);
    isButtonDown_.store(false, std::memory_order_relaxed);
    if (isScrolling_) {
        injector->scroll(ScrollPhase::ended, 0, 0, 0);
        isScrolling_ = false;
    }
}

void TouchInterpreter::trackContact(const Active& active, std::uint64_t t) {
    if (active.count == 0) {
        if (!contactStartNanos) {
            return;
        }
        const double duration =
            t > *contactStartNanos ? static_cast<double>(t - *contactStartNanos) / 1e6 : 0.0;
        injector->appendClickLog(
            formatC("temas sure=%.0fms hareket=%.4f(~%.1fmm) parmak=%d tik=%s", duration,
                    contactMaxMove, contactMaxMove * kMillimetresPerUnit,
                    static_cast<int>(contactPeakFingers), contactProducedClick ? "var" : "YOK"));
        contactStartNanos.reset();
        return;
    }
    if (!contactStartNanos) {
        contactStartNanos = t;
        contactPeakFingers = active.count;
        contactProducedClick = false;
        contactStarts.clear();
        contactMaxMove = 0;
    }
    contactPeakFingers = std::max(contactPeakFingers, active.count);
    for (std::size_t i = 0; i < active.count; ++i) {
        const Finger& finger = active.fingers[i];
        if (const Vec2* start = contactStarts.find(finger.id)) {
            contactMaxMove = std::max(contactMaxMove, std::hypot(finger.position.x - start->x,
                                                                 finger.position.y - start->y));
        } else {
            contactStarts.set(finger.id, finger.position);
        }
    }
}

double TouchInterpreter::spread(const Active& active) noexcept {
    const Vec2& a = active.fingers[0].position;
    const Vec2& b = active.fingers[1].position;
    return std::hypot(a.x - b.x, a.y - b.y);
}

void TouchInterpreter::twoFingerStep(const Active& active, Vec2 delta) {
    if (clock() - twoFingerSince <= settleNanos) {
        return;
    }
    centroidTravel.x += delta.x;
    centroidTravel.y += delta.y;
    if (twoFingerMode_ == TwoFingerMode::scroll) {
        decideMode(active);
    }
    if (twoFingerMode_ == TwoFingerMode::scroll) {
        scrollBy(delta);
    } else {
        zoomStep(active);
    }
}

void TouchInterpreter::decideMode(const Active& active) {
    const double current = spread(active);
    if (!startSpread) {
        startSpread = current;
        previousSpread = current;
        return;
    }
    const double differential = std::abs(current - *startSpread);
    const double common = std::hypot(centroidTravel.x, centroidTravel.y);
    if (differential > modeThreshold && common * zoomDominance < differential) {
        twoFingerMode_ = TwoFingerMode::zoom;
        decidedDifferential = differential;
        decidedCommon = common;
        previousSpread = current;
        if (isScrolling_) {
            injector->scroll(ScrollPhase::ended, 0, 0, 0);
            isScrolling_ = false;
        }
    }
}

void TouchInterpreter::scrollBy(Vec2 delta) {
    const double scale = scrollPointsPerUnit *
                         (isButtonDown_.load(std::memory_order_relaxed) ? dragScrollScale : 1.0);
    const double sign = scroll.naturalDirection ? 1.0 : -1.0;
    const double sx = delta.x * scale * sign;
    const double sy = delta.y * scale * sign;
    emittedScrollPoints += std::abs(sx) + std::abs(sy);
    if (!isScrolling_) {
        if (std::abs(sx) > kScrollStart || std::abs(sy) > kScrollStart) {
            injector->scroll(ScrollPhase::began, 0, sx, sy);
            isScrolling_ = true;
        }
        return;
    }
    if (sx != 0 || sy != 0) {
        injector->scroll(ScrollPhase::changed, 0, sx, sy);
    }
}

void TouchInterpreter::zoomStep(const Active& active) {
    if (active.count != 2 || !previousSpread) {
        return;
    }
    const double current = spread(active);
    const double change = current - *previousSpread;
    previousSpread = current;
    const double points = change * zoomPointsPerUnit;
    emittedZoomPoints += points;
    if (isScrolling_) {
        if (points != 0) {
            injector->scroll(ScrollPhase::changed, EventFlags::command, 0, points);
        }
    } else if (std::abs(points) > kScrollStart) {
        injector->scroll(ScrollPhase::began, EventFlags::command, 0, points);
        isScrolling_ = true;
    }
}

void TouchInterpreter::fingerCountChanged(std::size_t n) {
    if (n == 2) {
        twoFingerSince = clock();
        centroidTravel = {};
        return;
    }
    if (activeCount == 2) {
        injector->appendClickLog(
            "iki-parmak " +
            formatC("mod=%s fark=%.4f ortak=%.4f zoom=%.0fpt kaydirma=%.0fpt",
                    twoFingerMode_ == TwoFingerMode::zoom ? "yakinlastir" : "kaydir",
                    decidedDifferential, decidedCommon, emittedZoomPoints, emittedScrollPoints));
    }
    twoFingerMode_ = TwoFingerMode::scroll;
    startSpread.reset();
    previousSpread.reset();
    centroidTravel = {};
    decidedDifferential = decidedCommon = emittedZoomPoints = emittedScrollPoints = 0;
    if (isScrolling_) {
        injector->scroll(ScrollPhase::ended, 0, 0, 0);
        isScrolling_ = false;
    }
}

} // namespace ravnix
