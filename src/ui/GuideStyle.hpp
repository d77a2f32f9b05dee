#pragma once
// Type sizes and colours shared by the guide's widgets and drawings. Sizes are in pixels so
// that a drawing looks the same on every screen; colours derive from the widget's palette,
// so the guide follows the desktop's light or dark theme.

#include <QColor>
#include <QFont>
#include <QPalette>

class QPainter;
class QRectF;

namespace ravnix {

enum class GuideType {
    title,           // the demonstration's title
    callout,         // gesture text, steps
    calloutMedium,   // sidebar row titles
    caption,         // sidebar gesture text, note, hints
    captionSemibold, // panel captions, pulse labels
    smallest,        // text inside the drawn screen
    smallestSemibold,
};

QFont guideFont(GuideType type);

// The colour with its alpha multiplied by `alpha` (0 … 1).
QColor withAlpha(QColor colour, double alpha);
// Linear blend from `from` (f = 0) to `to` (f = 1), alpha included.
QColor mix(const QColor& from, const QColor& to, double f);

// The palette's colours under the names the guide's layout uses.
struct GuideInk {
    QColor primary;
    QColor secondary;
    QColor tertiary;
    QColor faint;
    QColor accent;
    QColor windowBackground; // background of a drawn window
    QColor background;       // background of the guide itself

    static GuideInk from(const QPalette& palette);
};

// A soft shadow under a rounded rectangle, a few translucent layers growing outwards and
// dropped a little; `alpha` is the darkness under the middle.
void drawSoftShadow(QPainter& painter, const QRectF& rect, double radius, double alpha);

} // namespace ravnix
