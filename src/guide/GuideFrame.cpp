#include "guide/GuideFrame.hpp"

#include <cmath>

namespace ravnix {
namespace {

// A ring that grows from `from` points across by `growth` and fades out over its visible time.
GuideRing growingRing(double age, double visibleFor, double from, double growth) noexcept {
    const double q = age / visibleFor;
    return GuideRing{q, from + growth * q, 1 - q};
}

} // namespace

ScreenPoint pointerPosition(const GuideScene& scene, double t, const ScreenArea& area) noexcept {
    if (scene.pointer == GuideScene::PointerAnchor::scripted) {
        return {area.width * scene.cursorX.value(t), area.height * scene.cursorY.value(t)};
    }
    const Ramp& edge = scene.pointer == GuideScene::PointerAnchor::selectionStart
                           ? scene.selectionStart
                           : scene.selectionEnd;
    const double p = edge.value(t);
    const double line = std::floor(p);
    const double textWidth = area.width - 2 * area.padding;
    return {area.padding + (p - line) * textWidth,
            area.padding + (line - scene.scroll.value(t)) * area.lineHeight + area.lineHeight / 2};
}

std::optional<GuideRing> pulseRing(const Pulse& pulse, double t) noexcept {
    const double age = t - pulse.time;
    if (!(age >= 0 && age <= Pulse::visibleFor)) {
        return std::nullopt;
    }
    return growingRing(age, Pulse::visibleFor, 40, 62);
}

std::optional<GuideRing> flashRing(double flashTime, double t) noexcept {
    const double age = t - flashTime;
    if (!(age >= 0 && age < GuideScene::flashVisibleFor)) {
        return std::nullopt;
    }
    return growingRing(age, GuideScene::flashVisibleFor, 8, 34);
}

SurfaceFrame surfaceFrame(const GestureDemo& demo, double t) {
    SurfaceFrame frame;
    frame.fingers.reserve(demo.fingers.size());
    for (const FingerTrack& finger : demo.fingers) {
        frame.fingers.push_back({finger.position(t), finger.trail(t)});
    }
    for (const Pulse& pulse : demo.pulses) {
        if (const auto shown = pulseRing(pulse, t)) {
            frame.pulses.push_back({pulse, *shown});
        }
    }
    return frame;
}

double textLineTop(std::size_t line, double scroll, const ScreenArea& area) noexcept {
    return area.padding + (static_cast<double>(line) - scroll) * area.lineHeight;
}

double textX(double fraction, const ScreenArea& area) noexcept {
    return area.padding + fraction * (area.width - 2 * area.padding);
}

ScreenFrame screenFrame(const GuideScene& scene, double t, const ScreenArea& area) {
    ScreenFrame frame;
    frame.pointer = pointerPosition(scene, t, area);
    frame.scroll = scene.scroll.value(t);
    frame.zoom = scene.zoom.value(t);
    frame.popup = scene.popup.value(t);
    frame.card = {area.width * scene.cardX.value(t), area.height * scene.cardY.value(t)};
    frame.reveal = scene.reveal.value(t);
    if (scene.kind != GuideScene::Kind::desktop) {
        for (std::size_t line = 0; line < guideTextLineCount; ++line) {
            const double top = textLineTop(line, frame.scroll, area);
            if (top >= -area.lineHeight && top <= area.height + area.lineHeight) {
                frame.lines.push_back({line, top, selectedPart(scene, t, line)});
            }
        }
    }
    for (const double flash : scene.flashes) {
        if (const auto shown = flashRing(flash, t)) {
            frame.flashes.push_back(*shown);
        }
    }
    return frame;
}

} // namespace ravnix
