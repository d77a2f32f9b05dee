#pragma once
// Draws the piece of screen that reacts to a demonstration at playback time t: a window with
// lines of placeholder words (scrolled, zoomed, selected), the context menu, the dictionary
// panel, the dragged document, or the desktop with the window moving aside; then the pointer
// and its click flashes on top.

#include "guide/GestureDemo.hpp"
#include "guide/GuideFrame.hpp"
#include "ui/GuideStyle.hpp"

#include <QPalette>
#include <QRectF>

class QPainter;

namespace ravnix {

class GuideScreenPainter {
  public:
    static constexpr double lineHeight = 15;
    static constexpr double padding = 14; // inset of the text
    static constexpr double titleBarHeight = 20;
    static constexpr double cornerRadius = 8;
    // The context menu hangs this far right of and below the pointer.
    static constexpr double menuOffsetX = 58;
    static constexpr double menuOffsetY = 40;

    explicit GuideScreenPainter(const QPalette& palette);

    // Draws inside `rect` only; an empty rectangle draws nothing and a time that is not
    // finite draws the first frame.
    void paint(QPainter& painter, const QRectF& rect, const GuideScene& scene, double t) const;

    // The part of `rect` that the scene's coordinates refer to: below the window's title bar
    // for the scenes inside a window, all of it for the desktop.
    static QRectF contentRect(const QRectF& rect, GuideScene::Kind kind) noexcept;
    static ScreenArea area(const QRectF& content) noexcept;

  private:
    void drawWindow(QPainter& painter, const QRectF& rect, bool withBars) const;
    void drawText(QPainter& painter, const QRectF& content, const ScreenFrame& frame) const;
    void drawMenu(QPainter& painter, QPointF pointer, double popup) const;
    void drawLookup(QPainter& painter, QPointF pointer, double popup) const;
    void drawCard(QPainter& painter, QPointF centre) const;
    void drawDesktop(QPainter& painter, const QRectF& rect, double reveal) const;
    void drawPointer(QPainter& painter, QPointF tip) const;

    GuideInk ink;
};

} // namespace ravnix
