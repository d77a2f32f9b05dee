#include "guide/GuidePlayback.hpp"

#include "guide/GuideCatalog.hpp"

#include <algorithm>
#include <cmath>

namespace ravnix {

double playbackTime(double elapsed, bool isSlow, double duration) noexcept {
    // A clock that stepped backwards or an unusable reading shows the first frame.
    if (!(elapsed > 0) || !std::isfinite(elapsed)) {
        return 0;
    }
    const double length = duration > 0 ? duration : 0.0;
    const double speed = isSlow ? GuidePlayback::slowSpeed : 1.0;
    const double t = std::fmod(elapsed * speed, length + GuidePlayback::tailPause);
    return std::min(t, length);
}

double playbackProgress(double t, double duration) noexcept {
    if (!(duration > 0)) {
        return 1;
    }
    return std::clamp(t / duration, 0.0, 1.0);
}

GuidePlayback::GuidePlayback(Clock::time_point now)
    : selected(gestureCatalog().front().id), startedAt(now) {}

const GestureDemo& GuidePlayback::demo() const {
    return gestureDemo(selected);
}

void GuidePlayback::select(std::string_view id, Clock::time_point now) {
    if (id == selected) {
        return;
    }
    selected = id;
    startedAt = now;
}

void GuidePlayback::setSlow(bool isSlow, Clock::time_point now) noexcept {
    if (isSlow == slow) {
        return;
    }
    slow = isSlow;
    startedAt = now;
}

double GuidePlayback::time(Clock::time_point now) const {
    const double elapsed = std::chrono::duration<double>(now - startedAt).count();
    return playbackTime(elapsed, slow, demo().duration);
}

double GuidePlayback::progress(Clock::time_point now) const {
    return playbackProgress(time(now), demo().duration);
}

} // namespace ravnix
