#pragma once
// The guide's main area for one demonstration: title and gesture, the two drawings, the
// progress bar, the steps, the note and the playback controls. It shows what it is given;
// the window owns the playback clock and feeds it a playback time on every display frame.

#include "guide/GestureDemo.hpp"

#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;

namespace ravnix {

class GuideStage;
class GuideStepList;
class GuideProgressBar;
class GuideNote;

class GuideMainArea : public QWidget {
    Q_OBJECT

  public:
    static constexpr int margin = 22;
    static constexpr int spacing = 16;

    explicit GuideMainArea(QWidget* parent = nullptr);

    // Shows another demonstration; its frames follow through setFrame.
    void showDemo(const GestureDemo& demo);
    // One display frame: playback time t in seconds and the playback speed (for the step
    // transition).
    void setFrame(double t, double speed);
    // Reflects the slow switch without reporting it back.
    void setSlow(bool isSlow);

    GuideStage* stage() const noexcept { return stageView; }
    GuideStepList* steps() const noexcept { return stepList; }

  signals:
    void slowToggled(bool isSlow);
    void restartRequested();

  private:
    GestureDemo demo;
    QLabel* title = nullptr;
    QLabel* gesture = nullptr;
    GuideStage* stageView = nullptr;
    GuideProgressBar* progressBar = nullptr;
    GuideStepList* stepList = nullptr;
    GuideNote* note = nullptr;
    QCheckBox* slowSwitch = nullptr;
    QPushButton* restartButton = nullptr;
};

} // namespace ravnix
