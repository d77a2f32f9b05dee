#include "ui/QtWindowControllers.hpp"

#include "app/MacModel.hpp"

namespace ravnix {

namespace {
// Hides `window` and deletes it from the event loop. Deleting it at once is not safe while
// one of its own signals or timers is what runs.
void dispose(QWidget* window) {
    if (window != nullptr) {
        window->close();
        window->deleteLater();
    }
}
} // namespace

// ---- pairing request ----------------------------------------------------------------------

QtPairingWindowController::QtPairingWindowController(LogFunction log) : log(std::move(log)) {}

QtPairingWindowController::~QtPairingWindowController() {
    QObject::disconnect(answer);
    delete window_.data();
}

void QtPairingWindowController::show(const PairingListener::Request& request,
                                     Decision newDecision) {
    // A newer request replaces the window; the old decision is never called.
    drop();
    decision = std::move(newDecision);
    window_ = new PairingWindow(request);
    answer = QObject::connect(window_.data(), &PairingWindow::decided, window_.data(),
                              [this](bool accepted) {
                                  // The window goes first, so a second press cannot reach
                                  // the model.
                                  Decision taken = std::move(decision);
                                  drop();
                                  if (taken) {
                                      taken(accepted);
                                  }
                              });
    presentWindow(*window_, "eslestirme", log);
}

void QtPairingWindowController::close() {
    drop();
}

void QtPairingWindowController::drop() {
    QObject::disconnect(answer);
    decision = nullptr;
    dispose(window_.data());
    window_.clear();
}

// ---- onboarding ---------------------------------------------------------------------------

QtOnboardingWindowController::QtOnboardingWindowController(LogFunction log,
                                                           std::function<void()> showGuide)
    : log(std::move(log)), openGuide(std::move(showGuide)) {}

QtOnboardingWindowController::~QtOnboardingWindowController() {
    delete window_.data();
}

void QtOnboardingWindowController::setModel(std::weak_ptr<MacModel> newModel) {
    model = std::move(newModel);
}

void QtOnboardingWindowController::setRequestPermission(std::function<void()> request) {
    requestPermission = std::move(request);
    if (window_) {
        window_->setRequestPermission(requestPermission);
    }
}

void QtOnboardingWindowController::show() {
    if (!window_) {
        if (model.expired()) {
            return;
        }
        // A window let go earlier may still finish late (its close was pending); only the
        // current window's request closes anything.
        auto self = std::make_shared<QPointer<OnboardingWindow>>();
        window_ = new OnboardingWindow(
            model, [this] { showGuide(); },
            [this, self] {
                if (*self == window_) {
                    close();
                }
            });
        *self = window_;
        window_->setRequestPermission(requestPermission);
    }
    presentWindow(*window_, "kurulum", log);
}

void QtOnboardingWindowController::close() {
    dispose(window_.data());
    window_.clear();
}

void QtOnboardingWindowController::showGuide() const {
    if (openGuide) {
        openGuide();
    } else if (auto current = model.lock()) {
        current->guide()->show();
    }
}

// ---- gesture guide ------------------------------------------------------------------------

QtGuideWindowController::QtGuideWindowController(LogFunction log,
                                                 GestureGuideWindow::ClockFunction clock)
    : log(std::move(log)), clock(std::move(clock)) {}

QtGuideWindowController::~QtGuideWindowController() = default;

void QtGuideWindowController::show() {
    if (!window_) {
        window_ = std::make_unique<GestureGuideWindow>(clock);
    }
    presentWindow(*window_, "kilavuz", log);
}

} // namespace ravnix
