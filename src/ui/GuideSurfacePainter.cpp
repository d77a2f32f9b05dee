#include "ui/GuideSurfacePainter.hpp"

#include "guide/GuideFrame.hpp"
#include "ui/GuideStyle.hpp"

#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QRadialGradient>
#include <algorithm>
#include <cmath>

namespace ravnix {
namespace {

// The glass under the fingers. The fills are white at low opacity, as on the phone, so the
// panel brings its own dark base to stay visible on a light desktop theme.
void drawPanel(QPainter& painter, const QRectF& rect) {
    const double radius =
        std::min({GuideSurfacePainter::cornerRadius, rect.width() / 2, rect.height() / 2});
    const QRectF panel = rect.adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(24, 25, 29));
    painter.drawRoundedRect(panel, radius, radius);

    QLinearGradient glass(panel.topLeft(), panel.bottomLeft());
    glass.setColorAt(0, withAlpha(Qt::white, 0.11));
    glass.setColorAt(1, withAlpha(Qt::white, 0.03));
    painter.setBrush(glass);
    painter.setPen(QPen(withAlpha(Qt::white, 0.22), 1));
    painter.drawRoundedRect(panel, radius, radius);

    const double barWidth = std::min(90.0, rect.width() - 2 * radius);
    if (barWidth > 0) {
        const QRectF bar(rect.center().x() - barWidth / 2, rect.bottom() - 12, barWidth, 4);
        painter.setPen(Qt::NoPen);
        painter.setBrush(withAlpha(Qt::white, 0.22));
        painter.drawRoundedRect(bar, 2, 2);
    }
}

void drawTrail(QPainter& painter, const QRectF& rect, const std::vector<GuidePoint>& trail) {
    if (trail.size() < 2) {
        return;
    }
    QPolygonF line;
    line.reserve(static_cast<qsizetype>(trail.size()));
    for (const GuidePoint& point : trail) {
        line << GuideSurfacePainter::map(rect, point);
    }
    painter.setPen(QPen(withAlpha(Qt::white, 0.2), GuideSurfacePainter::trailWidth, Qt::SolidLine,
                        Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPolyline(line);
}

void drawDisc(QPainter& painter, QPointF centre) {
    constexpr double radius = GuideSurfacePainter::discDiameter / 2;
    constexpr double shadowRadius = radius + 6;

    QRadialGradient shadow(centre + QPointF(0, 2), shadowRadius);
    shadow.setColorAt(0, withAlpha(Qt::black, 0.35));
    shadow.setColorAt((radius - 2) / shadowRadius, withAlpha(Qt::black, 0.35));
    shadow.setColorAt(1, withAlpha(Qt::black, 0));
    painter.setPen(Qt::NoPen);
    painter.setBrush(shadow);
    painter.drawEllipse(centre + QPointF(0, 2), shadowRadius, shadowRadius);

    QRadialGradient fill(centre, radius);
    fill.setColorAt(0, withAlpha(Qt::white, 0.92));
    fill.setColorAt(1, withAlpha(Qt::white, 0.30));
    painter.setBrush(fill);
    painter.setPen(QPen(withAlpha(Qt::white, 0.75), 1.5));
    painter.drawEllipse(centre, radius, radius);
}

void drawPulse(QPainter& painter, const QRectF& rect, const PulseFrame& shown) {
    const QPointF centre = GuideSurfacePainter::map(rect, shown.pulse.point);
    const QColor colour = GuideSurfacePainter::pulseColour(shown.pulse.kind);
    painter.save();
    // The label fades with its ring so that neither outlives the other.
    painter.setOpacity(std::clamp(shown.ring.opacity, 0.0, 1.0));

    const double radius = shown.ring.diameter / 2;
    painter.setPen(QPen(colour, GuideSurfacePainter::ringWidth));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(centre, radius, radius);

    const std::string_view name = label(shown.pulse.kind);
    const QString text = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
    const QFont font = guideFont(GuideType::captionSemibold);
    const QFontMetricsF metrics(font);
    const QSizeF size(metrics.horizontalAdvance(text) + 12, metrics.height() + 4);
    // Below the finger disc, where the fingers of a tap never are.
    const QRectF box(centre.x() - size.width() / 2, centre.y() + 24, size.width(), size.height());
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawRoundedRect(box, size.height() / 2, size.height() / 2);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(box, Qt::AlignCenter, text);
    painter.restore();
}

} // namespace

QPointF GuideSurfacePainter::map(const QRectF& rect, GuidePoint point) noexcept {
    return {rect.left() + point.x * rect.width(), rect.top() + point.y * rect.height()};
}

QColor GuideSurfacePainter::pulseColour(Pulse::Kind kind) {
    switch (kind) {
    case Pulse::Kind::click:
        return Qt::white;
    case Pulse::Kind::press:
        return QColor(255, 149, 0);
    case Pulse::Kind::release:
        return QColor(48, 176, 199);
    case Pulse::Kind::deep:
        return QColor::fromHsvF(0.75f, 0.42f, 1.0f);
    case Pulse::Kind::system:
        return QColor::fromHsvF(0.55f, 0.45f, 1.0f);
    }
    return Qt::white;
}

void GuideSurfacePainter::paint(QPainter& painter, const QRectF& rect, const GestureDemo& demo,
                                double t) {
    if (!(rect.width() > 0 && rect.height() > 0)) {
        return;
    }
    if (!std::isfinite(t)) {
        t = 0;
    }
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setClipRect(rect, Qt::IntersectClip);
    drawPanel(painter, rect);

    const SurfaceFrame frame = surfaceFrame(demo, t);
    for (const FingerFrame& finger : frame.fingers) {
        drawTrail(painter, rect, finger.trail);
    }
    for (const FingerFrame& finger : frame.fingers) {
        if (finger.position) {
            drawDisc(painter, map(rect, *finger.position));
        }
    }
    for (const PulseFrame& shown : frame.pulses) {
        drawPulse(painter, rect, shown);
    }
    painter.restore();
}

} // namespace ravnix
