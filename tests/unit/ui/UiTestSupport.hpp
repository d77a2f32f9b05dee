#pragma once
// A clock the tests move by hand, and pixel helpers for rendered frames.

#include "ui/GestureGuideWindow.hpp"

#include <QColor>
#include <QImage>
#include <QPointF>
#include <QString>
#include <chrono>
#include <ostream>

// Readable values in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QColor& colour, std::ostream* out) {
    *out << colour.name(QColor::HexArgb).toStdString();
}

namespace ravnix::test {

struct ManualClock {
    using Clock = GestureGuideWindow::Clock;
    Clock::time_point now = Clock::time_point{} + std::chrono::hours(1);

    void advance(double seconds) {
        now += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }
    GestureGuideWindow::ClockFunction function() {
        return [this] { return now; };
    }
};

inline QColor pixelAt(const QImage& image, QPointF point) {
    return image.pixelColor(static_cast<int>(point.x()), static_cast<int>(point.y()));
}

inline bool isNearWhite(const QColor& c) {
    return c.red() > 215 && c.green() > 215 && c.blue() > 215;
}

inline bool isNearBlack(const QColor& c) {
    return c.red() < 45 && c.green() < 45 && c.blue() < 45;
}

} // namespace ravnix::test
