#pragma once
// The gesture guide window ("Ravnix — Dokunma Kılavuzu"): the sidebar of demonstrations and
// the main area that plays the chosen one in a loop. The window owns the playback state
// (selection, start, slow mode) for its whole life; closing only hides it, so reopening shows
// the same demonstration at the same speed. While visible a timer redraws the main area about
// 60 times a second; while hidden nothing is redrawn.

#include "guide/GuidePlayback.hpp"

#include <QTimer>
#include <QWidget>
#include <functional>
#include <string>
#include <string_view>

namespace ravnix {

class GuideMainArea;
class GuideSidebar;

class GestureGuideWindow : public QWidget {
    Q_OBJECT

  public:
    using Clock = GuidePlayback::Clock;
    // Where the window reads the time; tests pass a clock they move by hand.
    using ClockFunction = std::function<Clock::time_point()>;

    static constexpr int frameIntervalMs = 16;
    static constexpr int defaultWidth = 940;
    static constexpr int defaultHeight = 660;
    static constexpr int minimumWidth = 860;
    static constexpr int minimumHeight = 600;

    // Plays the catalog's first demonstration at normal speed, starting now.
    explicit GestureGuideWindow(ClockFunction clock = &Clock::now, QWidget* parent = nullptr);
    ~GestureGuideWindow() override;

    // Shows the window, raises it and gives it the focus.
    void present();

    const std::string& selection() const noexcept { return playback.selection(); }
    bool isSlow() const noexcept { return playback.isSlow(); }
    // Seconds into the selected demonstration at the clock's current time.
    double playbackTime() const;
    // Whether the redraw timer runs.
    bool isAnimating() const noexcept { return frameTimer.isActive(); }

    // Each restarts the demonstration when it changes something, as the sidebar, the slow
    // switch and the "Baştan" button do.
    void select(std::string_view id);
    void setSlow(bool isSlow);
    void restart();

    // Reads the clock and shows that frame; the redraw timer calls it.
    void advanceFrame();

    GuideMainArea* mainArea() const noexcept { return main; }
    GuideSidebar* sidebar() const noexcept { return side; }

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    ClockFunction clock;
    GuidePlayback playback;
    QTimer frameTimer;
    GuideSidebar* side = nullptr;
    GuideMainArea* main = nullptr;
};

} // namespace ravnix
