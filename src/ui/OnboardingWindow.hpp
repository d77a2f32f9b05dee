#pragma once
// The onboarding window ("Ravnix"): walks the user through granting the input permission,
// notices the grant through the model's permission poll, then shows the addresses to type into
// the phone application and, when the grant happened while it was open, asks to be closed two
// seconds later. Shown while the permission is already there, it stays until the user closes
// it.
//
// Main thread only. The window follows the model's notifications for as long as both exist;
// it holds the model weakly, since the model owns the controller that owns the window.

#include "app/MacModel.hpp"

#include <QTimer>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>

class QLabel;
class QPushButton;

namespace ravnix {

class OnboardingWindow : public QWidget {
    Q_OBJECT

  public:
    static constexpr int fixedWidth = 460;
    // From the grant to onFinished.
    static constexpr std::chrono::milliseconds finishDelay{2000};

    // `showGuide` opens the gesture guide; `onFinished` runs when the window wants to be
    // closed (the grant's delay ran out, or the window was closed while it ran).
    OnboardingWindow(std::weak_ptr<MacModel> model, std::function<void()> showGuide,
                     std::function<void()> onFinished, QWidget* parent = nullptr);
    ~OnboardingWindow() override;

    // What the permission button does besides the default (opening the permission help page):
    // on Wayland it asks the desktop for its consent again. Empty: the help page.
    void setRequestPermission(std::function<void()> request) {
        requestPermission = std::move(request);
    }

    // Which of the two contents is on screen.
    bool isShowingGranted() const noexcept { return isShowingGranted_; }
    // Whether the close after the grant is pending.
    bool isFinishing() const noexcept { return finishTimer.isActive(); }

  protected:
    void hideEvent(QHideEvent* event) override;

  private:
    QWidget* buildWaiting();
    QWidget* buildGranted(const MacModel& model);
    void render(bool trusted);
    void modelChanged(MacModel::Field field);
    void finish();

    std::weak_ptr<MacModel> model;
    std::function<void()> showGuide;
    std::function<void()> onFinished;
    std::function<void()> requestPermission;
    int subscription = 0;
    bool isShowingGranted_ = false;
    QWidget* waiting = nullptr;
    QWidget* granted = nullptr;
    QTimer finishTimer;
};

} // namespace ravnix
