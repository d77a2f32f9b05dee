#include "ui/GuideStage.hpp"

#include "ui/GuideScreenPainter.hpp"
#include "ui/GuideStyle.hpp"
#include "ui/GuideSurfacePainter.hpp"

#include <QFontMetricsF>
#include <QPainter>
#include <algorithm>
#include <cmath>

namespace ravnix {

GuideStage::GuideStage(QWidget* parent) : QWidget(parent) {
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setMinimumHeight(static_cast<int>(std::ceil(captionHeight() + captionSpacing)) +
                     minimumPanelHeight);
}

void GuideStage::setDemo(const GestureDemo& shown) {
    demo = shown;
    update();
}

void GuideStage::setTime(double t) {
    playbackTime = t;
    update();
}

int GuideStage::heightForWidth(int w) const {
    const double column = std::max(0.0, (w - panelSpacing) / 2);
    const double panels = std::max<double>(minimumPanelHeight, column / surfaceAspect);
    return static_cast<int>(std::ceil(captionHeight() + captionSpacing + panels));
}

QSize GuideStage::sizeHint() const {
    const int w = std::max(width(), 2 * minimumPanelHeight);
    return {w, heightForWidth(w)};
}

double GuideStage::captionHeight() const {
    return QFontMetricsF(guideFont(GuideType::captionSemibold)).height();
}

double GuideStage::panelHeight() const {
    const double column = std::max(0.0, (width() - panelSpacing) / 2);
    const double available = std::max(0.0, height() - captionHeight() - captionSpacing);
    return std::min(available, column / surfaceAspect);
}

QRectF GuideStage::surfaceRect() const {
    const double h = panelHeight();
    return {0, captionHeight() + captionSpacing, h * surfaceAspect, h};
}

QRectF GuideStage::screenRect() const {
    const double column = std::max(0.0, (width() - panelSpacing) / 2);
    return {column + panelSpacing, captionHeight() + captionSpacing, column, panelHeight()};
}

void GuideStage::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const QRectF surface = surfaceRect();
    const QRectF screen = screenRect();

    painter.setFont(guideFont(GuideType::captionSemibold));
    painter.setPen(GuideInk::from(palette()).tertiary);
    const double caption = captionHeight();
    painter.drawText(QRectF(surface.left(), 0, screen.left() - panelSpacing, caption),
                     Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("iPhone yüzeyi"));
    painter.drawText(QRectF(screen.left(), 0, screen.width(), caption),
                     Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Mac'te olan"));

    GuideSurfacePainter::paint(painter, surface, demo, playbackTime);
    GuideScreenPainter(palette()).paint(painter, screen, demo.scene, playbackTime);
}

} // namespace ravnix
