#include "ui/GuideScreenPainter.hpp"

#include "guide/GuideText.hpp"

#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <algorithm>
#include <array>
#include <cmath>

namespace ravnix {
namespace {

// A ramp scripted beyond its meaningful range must not mirror, blank or blow up the drawing.
double unitValue(double v) noexcept {
    return std::isfinite(v) ? std::clamp(v, 0.0, 1.0) : 0.0;
}

double zoomValue(double v) noexcept {
    return std::isfinite(v) ? std::clamp(v, 0.25, 8.0) : 1.0;
}

bool isFinite(QPointF p) noexcept {
    return std::isfinite(p.x()) && std::isfinite(p.y());
}

// The top part of a rounded rectangle: its upper corners rounded, its lower edge straight.
QPainterPath topStrip(const QRectF& rect, double height, double radius) {
    const double r = std::min({radius, height, rect.width() / 2});
    QPainterPath strip;
    strip.moveTo(rect.left(), rect.top() + height);
    strip.lineTo(rect.left(), rect.top() + r);
    strip.arcTo(QRectF(rect.left(), rect.top(), 2 * r, 2 * r), 180, -90);
    strip.lineTo(rect.right() - r, rect.top());
    strip.arcTo(QRectF(rect.right() - 2 * r, rect.top(), 2 * r, 2 * r), 90, -90);
    strip.lineTo(rect.right(), rect.top() + height);
    strip.closeSubpath();
    return strip;
}

void drawBar(QPainter& painter, const QRectF& bar, const QColor& colour) {
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawRoundedRect(bar, bar.height() / 2, bar.height() / 2);
}

// A closed book, standing in for the dictionary symbol.
void drawBookIcon(QPainter& painter, const QRectF& box, const QColor& colour) {
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawRoundedRect(box, 1.5, 1.5);
    painter.setPen(QPen(Qt::white, 1));
    painter.drawLine(QPointF(box.left() + 2.5, box.top() + 1),
                     QPointF(box.left() + 2.5, box.bottom() - 1));
}

// A page with a folded corner, standing in for the document symbol.
void drawDocumentIcon(QPainter& painter, const QRectF& box, const QColor& colour) {
    const double fold = box.width() * 0.35;
    QPainterPath page;
    page.moveTo(box.topLeft());
    page.lineTo(box.right() - fold, box.top());
    page.lineTo(box.right(), box.top() + fold);
    page.lineTo(box.bottomRight());
    page.lineTo(box.bottomLeft());
    page.closeSubpath();
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawPath(page);
    QPainterPath corner;
    corner.moveTo(box.right() - fold, box.top());
    corner.lineTo(box.right() - fold, box.top() + fold);
    corner.lineTo(box.right(), box.top() + fold);
    corner.closeSubpath();
    painter.setBrush(withAlpha(Qt::white, 0.45));
    painter.drawPath(corner);
}

} // namespace

GuideScreenPainter::GuideScreenPainter(const QPalette& palette) : ink(GuideInk::from(palette)) {}

QRectF GuideScreenPainter::contentRect(const QRectF& rect, GuideScene::Kind kind) noexcept {
    if (kind == GuideScene::Kind::desktop) {
        return rect;
    }
    const double strip = std::min(titleBarHeight, std::max(rect.height(), 0.0));
    return rect.adjusted(0, strip, 0, 0);
}

ScreenArea GuideScreenPainter::area(const QRectF& content) noexcept {
    return ScreenArea{content.width(), content.height(), padding, lineHeight};
}

void GuideScreenPainter::paint(QPainter& painter, const QRectF& rect, const GuideScene& scene,
                               double t) const {
    if (!(rect.width() > 0 && rect.height() > 0)) {
        return;
    }
    if (!std::isfinite(t)) {
        t = 0;
    }
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setClipRect(rect, Qt::IntersectClip);

    const QRectF content = contentRect(rect, scene.kind);
    const ScreenFrame frame = screenFrame(scene, t, area(content));
    const QPointF pointer = content.topLeft() + QPointF(frame.pointer.x, frame.pointer.y);

    if (scene.kind == GuideScene::Kind::desktop) {
        drawDesktop(painter, rect, unitValue(frame.reveal));
    } else {
        drawWindow(painter, rect, false);
        if (content.height() > 0) {
            drawText(painter, content, frame);
        }
    }

    const double popup = unitValue(frame.popup);
    if (isFinite(pointer)) {
        if (scene.kind == GuideScene::Kind::menu && popup > 0) {
            drawMenu(painter, pointer, popup);
        } else if (scene.kind == GuideScene::Kind::lookup && popup > 0) {
            drawLookup(painter, pointer, popup);
        }
    }
    const QPointF card = content.topLeft() + QPointF(frame.card.x, frame.card.y);
    if (scene.kind == GuideScene::Kind::card && isFinite(card)) {
        drawCard(painter, card);
    }

    if (isFinite(pointer)) {
        drawPointer(painter, pointer);
        for (const GuideRing& flash : frame.flashes) {
            const double radius = flash.diameter / 2;
            painter.setPen(QPen(withAlpha(ink.accent, flash.opacity), 2));
            painter.setBrush(Qt::NoBrush);
            painter.drawEllipse(pointer, radius, radius);
        }
    }
    painter.restore();
}

void GuideScreenPainter::drawWindow(QPainter& painter, const QRectF& rect, bool withBars) const {
    const QRectF panel = rect.adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(QPen(withAlpha(ink.primary, 0.14), 1));
    painter.setBrush(ink.windowBackground);
    painter.drawRoundedRect(panel, cornerRadius, cornerRadius);

    const double strip = std::min(titleBarHeight, panel.height());
    painter.setPen(Qt::NoPen);
    painter.setBrush(withAlpha(ink.primary, 0.05));
    painter.drawPath(topStrip(panel, strip, cornerRadius));
    painter.setPen(QPen(withAlpha(ink.primary, 0.1), 1));
    painter.drawLine(QPointF(panel.left(), panel.top() + strip),
                     QPointF(panel.right(), panel.top() + strip));

    static const std::array<QColor, 3> buttons{QColor(255, 95, 87), QColor(254, 188, 46),
                                               QColor(40, 200, 64)};
    painter.setPen(Qt::NoPen);
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        painter.setBrush(buttons[i]);
        painter.drawEllipse(
            QPointF(panel.left() + 11 + 13.0 * static_cast<double>(i), panel.top() + strip / 2), 4,
            4);
    }
    painter.setFont(guideFont(GuideType::smallest));
    painter.setPen(ink.secondary);
    painter.drawText(QRectF(panel.left(), panel.top(), panel.width(), strip), Qt::AlignCenter,
                     QStringLiteral("Mac"));

    if (withBars) {
        // A window of the desktop scene: a few lines of content, without the text scene.
        for (int i = 0; i < 4; ++i) {
            const double y = panel.top() + strip + 12 + 13.0 * i;
            if (y + 6 > panel.bottom() - 6) {
                break;
            }
            const double width = (panel.width() - 24) * (i % 2 == 0 ? 0.85 : 0.6);
            drawBar(painter, QRectF(panel.left() + 12, y, width, 6), withAlpha(ink.primary, 0.2));
        }
    }
}

void GuideScreenPainter::drawText(QPainter& painter, const QRectF& content,
                                  const ScreenFrame& frame) const {
    const ScreenArea screen = area(content);
    const double zoom = zoomValue(frame.zoom);
    painter.save();
    painter.setClipRect(content, Qt::IntersectClip);
    painter.translate(content.center());
    painter.scale(zoom, zoom);
    painter.translate(-content.center());
    painter.translate(content.topLeft());

    painter.setPen(Qt::NoPen);
    const QColor selection = withAlpha(ink.accent, 0.4);
    const QColor word = withAlpha(ink.primary, 0.3);
    for (const TextLineFrame& line : frame.lines) {
        if (line.selection) {
            const double left = textX(line.selection->start, screen);
            const double right = textX(line.selection->end, screen);
            painter.setBrush(selection);
            painter.drawRoundedRect(QRectF(left, line.y + 1.5, right - left, lineHeight - 3), 3, 3);
        }
        painter.setBrush(word);
        for (const WordSpan& span : guideLineSpans(line.line)) {
            const double left = textX(span.start, screen);
            const double right = textX(span.end, screen);
            painter.drawRoundedRect(QRectF(left, line.y + 4, right - left, lineHeight - 8), 3.5,
                                    3.5);
        }
    }
    painter.restore();
}

void GuideScreenPainter::drawMenu(QPainter& painter, QPointF pointer, double popup) const {
    static constexpr std::array<double, 4> widths{82, 82, 58, 82};
    constexpr double inset = 9;
    constexpr double barHeight = 5;
    constexpr double spacing = 5;
    const QRectF panel(0, 0, 82 + 2 * inset, 2 * inset + 4 * barHeight + 3 * spacing);

    painter.save();
    painter.translate(pointer + QPointF(menuOffsetX, menuOffsetY));
    painter.scale(0.9 + 0.1 * popup, 0.9 + 0.1 * popup);
    painter.setOpacity(popup);
    drawSoftShadow(painter, panel, 7, 0.28);
    painter.setPen(QPen(withAlpha(ink.primary, 0.12), 0.5));
    painter.setBrush(ink.windowBackground);
    painter.drawRoundedRect(panel, 7, 7);
    for (std::size_t i = 0; i < widths.size(); ++i) {
        const double y = inset + static_cast<double>(i) * (barHeight + spacing);
        drawBar(painter, QRectF(inset, y, widths[i], barHeight),
                withAlpha(ink.primary, i == 0 ? 0.45 : 0.28));
    }
    painter.restore();
}

void GuideScreenPainter::drawLookup(QPainter& painter, QPointF pointer, double popup) const {
    static constexpr std::array<double, 3> widths{148, 130, 92};
    constexpr double inset = 10;
    const QFont font = guideFont(GuideType::smallestSemibold);
    const QFontMetricsF metrics(font);
    const double header = std::max(12.0, metrics.height());
    const QRectF panel(0, 0, 148 + 2 * inset, 2 * inset + header + 8 + 3 * 5 + 2 * 6);

    painter.save();
    painter.translate(pointer + QPointF(18, 22));
    painter.scale(0.9 + 0.1 * popup, 0.9 + 0.1 * popup);
    painter.setOpacity(popup);
    drawSoftShadow(painter, panel, 9, 0.28);
    painter.setPen(QPen(withAlpha(ink.primary, 0.12), 0.5));
    painter.setBrush(ink.windowBackground);
    painter.drawRoundedRect(panel, 9, 9);

    drawBookIcon(painter, QRectF(inset, inset + (header - 12) / 2, 10, 12), ink.accent);
    painter.setFont(font);
    painter.setPen(ink.primary);
    painter.drawText(QRectF(inset + 15, inset, panel.width(), header), Qt::AlignVCenter,
                     QStringLiteral("Sözlük"));
    for (std::size_t i = 0; i < widths.size(); ++i) {
        const double y = inset + header + 8 + static_cast<double>(i) * 11;
        drawBar(painter, QRectF(inset, y, widths[i], 5), withAlpha(ink.primary, 0.28));
    }
    painter.restore();
}

void GuideScreenPainter::drawCard(QPainter& painter, QPointF centre) const {
    const QRectF card(centre.x() - 23, centre.y() - 28, 46, 56);
    drawSoftShadow(painter, card, 7, 0.22);
    painter.setPen(QPen(withAlpha(ink.primary, 0.15), 0.5));
    painter.setBrush(ink.windowBackground);
    painter.drawRoundedRect(card, 7, 7);
    drawDocumentIcon(painter, QRectF(card.center().x() - 9, card.top() + 9, 18, 23), ink.accent);
    drawBar(painter, QRectF(card.left() + 9, card.bottom() - 14, card.width() - 18, 5),
            withAlpha(ink.primary, 0.3));
}

void GuideScreenPainter::drawDesktop(QPainter& painter, const QRectF& rect, double reveal) const {
    QLinearGradient wallpaper(rect.topLeft(), rect.bottomRight());
    wallpaper.setColorAt(0, QColor::fromRgbF(0.16f, 0.24f, 0.48f));
    wallpaper.setColorAt(1, QColor::fromRgbF(0.42f, 0.26f, 0.52f));
    painter.setPen(Qt::NoPen);
    painter.setBrush(wallpaper);
    painter.drawRoundedRect(rect, cornerRadius, cornerRadius);

    const QRectF window(rect.left() + rect.width() * (0.10 + reveal * 1.15),
                        rect.top() + rect.height() * 0.12, rect.width() * 0.62,
                        rect.height() * 0.72);
    if (window.left() >= rect.right()) {
        return;
    }
    drawSoftShadow(painter, window, cornerRadius, 0.3);
    drawWindow(painter, window, true);
}

void GuideScreenPainter::drawPointer(QPainter& painter, QPointF tip) const {
    // The classic arrow, its tip at the origin.
    static const QPolygonF arrow{{0, 0},    {0, 16},     {4, 12.5},   {7, 19},
                                 {9.5, 18}, {6.5, 11.6}, {11.5, 11.6}};
    painter.save();
    painter.translate(tip);
    painter.setPen(QPen(Qt::white, 1.3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::black);
    painter.drawPolygon(arrow);
    painter.restore();
}

} // namespace ravnix
