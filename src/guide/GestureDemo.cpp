#include "guide/GestureDemo.hpp"

namespace ravnix {

double smoothstep(double u) noexcept {
    const double c = u < 0 ? 0.0 : (u > 1 ? 1.0 : u);
    return c * c * (3 - 2 * c);
}

std::optional<GuidePoint> FingerTrack::position(double t) const noexcept {
    // Written so that a NaN time is absent rather than read between two keys.
    if (keys.empty() || !(t >= keys.front().time) || t > keys.back().time) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < keys.size(); ++i) {
        const Key& b = keys[i];
        if (!(t < b.time)) {
            continue;
        }
        const Key& a = keys[i - 1];
        if (!a.down) {
            return std::nullopt;
        }
        const double span = b.time - a.time;
        if (!(span > 0)) {
            return b.point;
        }
        const double s = smoothstep((t - a.time) / span);
        return GuidePoint{a.point.x + s * (b.point.x - a.point.x),
                          a.point.y + s * (b.point.y - a.point.y)};
    }
    // t is the last key's time: the finger stays only if that key keeps it down.
    const Key& last = keys.back();
    if (!last.down) {
        return std::nullopt;
    }
    return last.point;
}

std::vector<GuidePoint> FingerTrack::trail(double t) const {
    std::vector<GuidePoint> samples;
    samples.reserve(trailSamples);
    // Oldest sample first. An absence breaks the trail: a line must never join the place
    // where the finger lifted to the place where it came down again.
    for (std::size_t i = trailSamples; i-- > 0;) {
        const double at =
            t - trailSpan * static_cast<double>(i) / static_cast<double>(trailSamples - 1);
        if (const auto point = position(at)) {
            samples.push_back(*point);
        } else {
            samples.clear();
        }
    }
    return samples;
}

std::string_view label(Pulse::Kind kind) noexcept {
    switch (kind) {
    case Pulse::Kind::click:
        return "tık";
    case Pulse::Kind::press:
        return "bas";
    case Pulse::Kind::release:
        return "bırak";
    case Pulse::Kind::deep:
        return "derin bas";
    case Pulse::Kind::system:
        return "masaüstü";
    }
    return {};
}

double Ramp::value(double t) const noexcept {
    if (stops.empty()) {
        return 0;
    }
    // Negated so that a NaN time yields the first value.
    if (!(t > stops.front().time)) {
        return stops.front().value;
    }
    if (t >= stops.back().time) {
        return stops.back().value;
    }
    for (std::size_t i = 1; i < stops.size(); ++i) {
        const Stop& b = stops[i];
        if (!(t < b.time)) {
            continue;
        }
        const Stop& a = stops[i - 1];
        const double span = b.time - a.time;
        if (!(span > 0)) {
            return b.value;
        }
        return a.value + smoothstep((t - a.time) / span) * (b.value - a.value);
    }
    return stops.back().value; // not reached: t lies before the last stop
}

std::size_t GestureDemo::currentStep(double t) const noexcept {
    std::size_t current = 0;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (steps[i].time <= t) {
            current = i;
        }
    }
    return current;
}

} // namespace ravnix
