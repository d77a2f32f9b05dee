#include "ui/GuideStepList.hpp"

#include "ui/GuideStyle.hpp"

#include <QEasingCurve>
#include <QEvent>
#include <QFontMetrics>
#include <QPainter>
#include <algorithm>
#include <cmath>

namespace ravnix {
namespace {

constexpr int textIndent = GuideStepList::dotSize + GuideStepList::dotSpacing;
constexpr int unboundedHeight = 100000;

} // namespace

GuideStepList::GuideStepList(QWidget* parent) : QWidget(parent) {
    setFont(guideFont(GuideType::callout));
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

void GuideStepList::setDemo(const GestureDemo& shown) {
    demo = shown;
    texts.clear();
    for (const GuideStep& step : demo.steps) {
        texts.push_back(QString::fromStdString(step.text));
    }
    currentIndex = 0;
    previousIndex.reset();
    eased = 1;
    hasFrame = false;
    layoutWidth = -1;
    updateGeometry();
    update();
}

void GuideStepList::setFrame(double t, double speed) {
    if (demo.steps.empty() || !std::isfinite(t)) {
        return;
    }
    const std::size_t now = std::min(demo.currentStep(t), demo.steps.size() - 1);
    const bool changed = now != currentIndex;
    if (changed) {
        previousIndex = currentIndex;
        currentIndex = now;
    }
    const double since = t - demo.steps[currentIndex].time;
    double progress = 1;
    // The first frame of a demonstration shows its step at once, and so does a step current
    // before its own time (the first, when none has begun).
    if (hasFrame && since >= 0 && speed > 0) {
        progress = std::clamp(since / (transition * speed), 0.0, 1.0);
    }
    const double next = QEasingCurve(QEasingCurve::OutQuad).valueForProgress(progress);
    if (next >= 1) {
        previousIndex.reset();
    }
    hasFrame = true;
    if (changed || next != eased) {
        eased = next;
        update();
    }
}

double GuideStepList::highlight(std::size_t index) const noexcept {
    if (index >= demo.steps.size()) {
        return 0;
    }
    if (index == currentIndex) {
        return eased;
    }
    if (previousIndex && index == *previousIndex) {
        return 1 - eased;
    }
    return 0;
}

const std::vector<int>& GuideStepList::rowHeights(int width) const {
    if (width != layoutWidth) {
        const QFontMetrics metrics(font());
        const int textWidth = std::max(1, width - textIndent);
        heights.clear();
        for (const QString& text : texts) {
            const QRect box = metrics.boundingRect(QRect(0, 0, textWidth, unboundedHeight),
                                                   Qt::TextWordWrap, text);
            heights.push_back(std::max(box.height(), metrics.height()));
        }
        layoutWidth = width;
    }
    return heights;
}

int GuideStepList::heightForWidth(int width) const {
    const std::vector<int>& rows = rowHeights(width);
    int total = 0;
    for (const int h : rows) {
        total += h;
    }
    if (!rows.empty()) {
        total += rowSpacing * static_cast<int>(rows.size() - 1);
    }
    return total;
}

QSize GuideStepList::sizeHint() const {
    const int w = std::max(width(), 400);
    return {w, heightForWidth(w)};
}

QSize GuideStepList::minimumSizeHint() const {
    return {textIndent + 100, 0};
}

void GuideStepList::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) {
        layoutWidth = -1;
        updateGeometry();
    }
    QWidget::changeEvent(event);
}

void GuideStepList::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const GuideInk ink = GuideInk::from(palette());
    const QFontMetrics metrics(font());
    const std::vector<int>& rows = rowHeights(width());
    const int textWidth = std::max(1, width() - textIndent);

    int y = 0;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const double h = highlight(i);
        // The dot sits on the first line, centred on its lower-case letters.
        const double dotCentre = y + metrics.ascent() - metrics.xHeight() / 2.0;
        painter.setPen(Qt::NoPen);
        painter.setBrush(mix(withAlpha(ink.primary, 0.18), ink.accent, h));
        painter.drawEllipse(QRectF(0, dotCentre - dotSize / 2.0, dotSize, dotSize));

        painter.setPen(mix(ink.secondary, ink.primary, h));
        painter.drawText(QRect(textIndent, y, textWidth, rows[i]), Qt::TextWordWrap, texts[i]);
        y += rows[i] + rowSpacing;
    }
}

} // namespace ravnix
