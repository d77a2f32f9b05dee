#pragma once
// The three windows as the model sees them, so that it never knows the toolkit: the Qt shell
// implements them with widgets, the headless shell on the terminal. Main thread only.

#include "pairing/PairingListener.hpp"

#include <functional>

namespace ravnix {

class OnboardingWindowController {
  public:
    virtual ~OnboardingWindowController() = default;
    virtual void show() = 0;
    virtual void close() = 0;
};

class PairingWindowController {
  public:
    // The user's answer: true to pair. Called at most once per show(), on the main thread.
    using Decision = std::function<void(bool accepted)>;
    virtual ~PairingWindowController() = default;
    // Shows `request`, replacing whatever request is on screen (its decision is then never
    // called).
    virtual void show(const PairingListener::Request& request, Decision decision) = 0;
    // Closes the request on screen without a decision.
    virtual void close() = 0;
};

class GestureGuideWindowController {
  public:
    virtual ~GestureGuideWindowController() = default;
    virtual void show() = 0;
};

// Controllers that do nothing, for a model without any user interface.
struct NoWindows final : OnboardingWindowController,
                         PairingWindowController,
                         GestureGuideWindowController {
    void show() override {}
    void show(const PairingListener::Request&, Decision) override {}
    void close() override {}
};

} // namespace ravnix
