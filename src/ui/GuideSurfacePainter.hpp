#pragma once
// Draws the phone surface of a demonstration at playback time t: the glass panel, each
// finger's trail and disc, and the rings of the events fired in the last half second.
// Stateless, so the window, the tests and the benchmark draw the same pixels.

#include "guide/GestureDemo.hpp"

#include <QColor>
#include <QPointF>
#include <QRectF>

class QPainter;

namespace ravnix {

class GuideSurfacePainter {
  public:
    static constexpr double cornerRadius = 28;
    static constexpr double trailWidth = 12;
    static constexpr double discDiameter = 34;
    static constexpr double ringWidth = 2.5;

    // Draws inside `rect` only; an empty rectangle draws nothing and a time that is not
    // finite draws the first frame.
    static void paint(QPainter& painter, const QRectF& rect, const GestureDemo& demo, double t);

    // Where a surface position (fractions of the surface) lands inside `rect`.
    static QPointF map(const QRectF& rect, GuidePoint point) noexcept;

    // The colour of a pulse ring and of its label's background.
    static QColor pulseColour(Pulse::Kind kind);
};

} // namespace ravnix
