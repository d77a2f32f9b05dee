#pragma once
// The captions of a demonstration, one row each, the current one highlighted. When the
// current step changes, the new one brightens and the old one dims over 0.15 s of wall-clock
// time with an ease-out; the transition is measured on the playback clock (scaled by the
// speed), so a frame at a given playback time always looks the same.

#include "guide/GestureDemo.hpp"

#include <QString>
#include <QWidget>
#include <cstddef>
#include <optional>
#include <vector>

namespace ravnix {

class GuideStepList : public QWidget {
    Q_OBJECT

  public:
    static constexpr double transition = 0.15; // seconds of wall-clock time
    static constexpr int rowSpacing = 7;
    static constexpr int dotSize = 7;
    static constexpr int dotSpacing = 9;

    explicit GuideStepList(QWidget* parent = nullptr);

    void setDemo(const GestureDemo& demo);
    // `speed` is playback seconds per wall-clock second.
    void setFrame(double t, double speed);

    std::size_t current() const noexcept { return currentIndex; }
    // How strongly row `index` is highlighted, 0 … 1.
    double highlight(std::size_t index) const noexcept;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    const std::vector<int>& rowHeights(int width) const;

    GestureDemo demo;
    std::vector<QString> texts;
    std::size_t currentIndex = 0;
    std::optional<std::size_t> previousIndex; // dimming while the transition runs
    double eased = 1;                         // progress of the transition, eased
    bool hasFrame = false;                    // a frame was shown since setDemo

    mutable int layoutWidth = -1;
    mutable std::vector<int> heights;
};

} // namespace ravnix
