#include "ui/GuideStyle.hpp"

#include <QApplication>
#include <QPainter>
#include <algorithm>

namespace ravnix {

QFont guideFont(GuideType type) {
    QFont font = QApplication::font();
    switch (type) {
    case GuideType::title:
        font.setPixelSize(22);
        font.setWeight(QFont::DemiBold);
        break;
    case GuideType::callout:
        font.setPixelSize(13);
        break;
    case GuideType::calloutMedium:
        font.setPixelSize(13);
        font.setWeight(QFont::Medium);
        break;
    case GuideType::caption:
        font.setPixelSize(11);
        break;
    case GuideType::captionSemibold:
        font.setPixelSize(11);
        font.setWeight(QFont::DemiBold);
        break;
    case GuideType::smallest:
        font.setPixelSize(9);
        break;
    case GuideType::smallestSemibold:
        font.setPixelSize(9);
        font.setWeight(QFont::DemiBold);
        break;
    }
    return font;
}

QColor withAlpha(QColor colour, double alpha) {
    colour.setAlphaF(static_cast<float>(colour.alphaF() * std::clamp(alpha, 0.0, 1.0)));
    return colour;
}

QColor mix(const QColor& from, const QColor& to, double f) {
    const double u = std::clamp(f, 0.0, 1.0);
    const auto blend = [u](float a, float b) { return static_cast<float>(a + (b - a) * u); };
    return QColor::fromRgbF(blend(from.redF(), to.redF()), blend(from.greenF(), to.greenF()),
                            blend(from.blueF(), to.blueF()), blend(from.alphaF(), to.alphaF()));
}

GuideInk GuideInk::from(const QPalette& palette) {
    const QColor text = palette.color(QPalette::WindowText);
    return GuideInk{
        .primary = text,
        .secondary = withAlpha(text, 0.6),
        .tertiary = withAlpha(text, 0.42),
        .faint = withAlpha(text, 0.1),
        .accent = palette.color(QPalette::Highlight),
        .windowBackground = palette.color(QPalette::Base),
        .background = palette.color(QPalette::Window),
    };
}

void drawSoftShadow(QPainter& painter, const QRectF& rect, double radius, double alpha) {
    constexpr int layers = 4;
    painter.save();
    painter.setPen(Qt::NoPen);
    painter.setBrush(withAlpha(Qt::black, alpha / layers));
    for (int i = 1; i <= layers; ++i) {
        const QRectF layer = rect.adjusted(-i, -i + 2, i, i + 2);
        painter.drawRoundedRect(layer, radius + i, radius + i);
    }
    painter.restore();
}

} // namespace ravnix
