#include "ui/TrayIcons.hpp"

#include <QPainter>
#include <QPainterPath>

namespace ravnix {

namespace {

const QColor fill(0xF2, 0xF2, 0xF2);
const QColor rim(0x20, 0x20, 0x20);
const QColor warning(0xF2, 0xB1, 0x34);

// Strokes `path` twice, wide and dark then narrow and light, so that it stands out on any
// background.
void haloStroke(QPainter& painter, const QPainterPath& path, qreal width, Qt::PenStyle style) {
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(rim, width + 2.0, style, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(path);
    painter.setPen(QPen(fill, width, style, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(path);
}

} // namespace

QPixmap trayPixmap(const std::string& symbol, int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal unit = size / 16.0; // drawn on a 16-unit grid
    painter.scale(unit, unit);
    const qreal line = std::max(1.0, 1.4 / unit * (size >= 24 ? 1.5 : 1.0));

    if (symbol == "exclamationmark.triangle") {
        QPainterPath triangle;
        triangle.moveTo(8, 1.5);
        triangle.lineTo(15, 14);
        triangle.lineTo(1, 14);
        triangle.closeSubpath();
        painter.setPen(QPen(rim, 1.0));
        painter.setBrush(warning);
        painter.drawPath(triangle);
        painter.setPen(Qt::NoPen);
        painter.setBrush(rim);
        painter.drawRoundedRect(QRectF(7.1, 5.2, 1.8, 5.2), 0.9, 0.9);
        painter.drawEllipse(QRectF(7.05, 11.2, 1.9, 1.9));
        return pixmap;
    }

    QPainterPath pad;
    pad.addRoundedRect(QRectF(1.5, 3, 13, 10), 2, 2);
    if (symbol == "rectangle.and.hand.point.up.left.fill") {
        painter.setPen(QPen(rim, 1.0));
        painter.setBrush(fill);
        painter.drawPath(pad);
        // The touching finger: a dark fingertip with a ring around it.
        painter.setBrush(rim);
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(QPointF(6.5, 8), 2.0, 2.0);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(rim, 0.9));
        painter.drawEllipse(QPointF(6.5, 8), 3.6, 3.6);
        return pixmap;
    }
    // "rectangle.dashed" and anything unknown.
    haloStroke(painter, pad, line, Qt::DashLine);
    return pixmap;
}

QIcon trayIcon(const std::string& symbol) {
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48}) {
        icon.addPixmap(trayPixmap(symbol, size));
    }
    return icon;
}

} // namespace ravnix
