#pragma once
// The three window controllers of the desktop shell, as the model calls them. Each holds at
// most one window and brings it forward through the window presenter under its tag
// ("kurulum", "eslestirme", "kilavuz"), so every presentation leaves its two log lines.
//
// Main thread only. The controllers are created before the model (the model takes them at
// creation); the onboarding controller learns the model afterwards through setModel().

#include "app/WindowControllers.hpp"
#include "ui/GestureGuideWindow.hpp"
#include "ui/OnboardingWindow.hpp"
#include "ui/PairingWindow.hpp"
#include "ui/WindowPresenter.hpp"

#include <QMetaObject>
#include <QPointer>
#include <functional>
#include <memory>

namespace ravnix {

class QtPairingWindowController final : public PairingWindowController {
  public:
    explicit QtPairingWindowController(LogFunction log);
    ~QtPairingWindowController() override;
    QtPairingWindowController(const QtPairingWindowController&) = delete;
    QtPairingWindowController& operator=(const QtPairingWindowController&) = delete;

    void show(const PairingListener::Request& request, Decision decision) override;
    void close() override;

    // The window on screen, if any.
    PairingWindow* window() const noexcept { return window_.data(); }

  private:
    // Closes the window and lets it go; it is deleted once control is back in the event
    // loop, since a button of that window may be what called us.
    void drop();

    LogFunction log;
    QPointer<PairingWindow> window_;
    Decision decision;
    QMetaObject::Connection answer;
};

class QtOnboardingWindowController final : public OnboardingWindowController {
  public:
    // `showGuide` opens the gesture guide; empty: the model's guide controller.
    explicit QtOnboardingWindowController(LogFunction log, std::function<void()> showGuide = {});
    ~QtOnboardingWindowController() override;
    QtOnboardingWindowController(const QtOnboardingWindowController&) = delete;
    QtOnboardingWindowController& operator=(const QtOnboardingWindowController&) = delete;

    // Held weakly: the model owns this controller. Until it is set, show() does nothing.
    void setModel(std::weak_ptr<MacModel> model);
    // What the window's permission button asks of the event system (see OnboardingWindow).
    void setRequestPermission(std::function<void()> request);

    // The window that exists comes forward again (also after the user closed it).
    void show() override;
    void close() override;

    OnboardingWindow* window() const noexcept { return window_.data(); }

  private:
    void showGuide() const;

    LogFunction log;
    std::function<void()> openGuide;
    std::weak_ptr<MacModel> model;
    std::function<void()> requestPermission;
    QPointer<OnboardingWindow> window_;
};

class QtGuideWindowController final : public GestureGuideWindowController {
  public:
    // `clock` is where the guide reads the time; empty: the steady clock.
    explicit QtGuideWindowController(LogFunction log, GestureGuideWindow::ClockFunction clock = {});
    ~QtGuideWindowController() override;
    QtGuideWindowController(const QtGuideWindowController&) = delete;
    QtGuideWindowController& operator=(const QtGuideWindowController&) = delete;

    // Builds the window at the first call; later calls bring the same one forward, so it
    // keeps its demonstration and speed.
    void show() override;

    GestureGuideWindow* window() const noexcept { return window_.get(); }

  private:
    LogFunction log;
    GestureGuideWindow::ClockFunction clock;
    std::unique_ptr<GestureGuideWindow> window_;
};

} // namespace ravnix
