#pragma once
// The two live drawings side by side: "iPhone yüzeyi" with the phone surface and "Mac'te
// olan" with the screen that reacts, each under its caption. Both show the same playback
// time; the widget is repainted on every display frame while the guide is visible.

#include "guide/GestureDemo.hpp"

#include <QRectF>
#include <QWidget>

namespace ravnix {

class GuideStage : public QWidget {
    Q_OBJECT

  public:
    static constexpr double surfaceAspect = 1.55; // width ÷ height of the phone surface
    static constexpr double panelSpacing = 20;
    static constexpr double captionSpacing = 6;
    static constexpr int minimumPanelHeight = 200;

    explicit GuideStage(QWidget* parent = nullptr);

    void setDemo(const GestureDemo& demo);
    void setTime(double t);
    double time() const noexcept { return playbackTime; }

    // Where the drawings are, in this widget's coordinates: two equal columns; the panels are
    // as high as the phone surface at its aspect allows, and top-aligned.
    QRectF surfaceRect() const;
    QRectF screenRect() const;

    // As high as the captions and the panels at this width need, the panels at least 200.
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    double captionHeight() const;
    double panelHeight() const;

    GestureDemo demo;
    double playbackTime = 0;
};

} // namespace ravnix
