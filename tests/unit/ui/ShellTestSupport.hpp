#pragma once
// Helpers of the shell window tests: a log that keeps its lines, screenshots, and a model
// built from fakes whose main queue is the Qt event loop.

#include "FakeEnvironment.hpp"
#include "UiTestSupport.hpp"
#include "platform/events/RecordingEventSystem.hpp"
#include "ui/QtMainQueue.hpp"
#include "ui/WindowPresenter.hpp"
#include "unit/platform/TemporaryFolder.hpp"

#include <QCoreApplication>
#include <QTest>
#include <QWidget>
#include <filesystem>
#include <string>
#include <vector>

namespace ravnix::test {

// Shared with the functions it hands out: a presenter's delayed line may arrive after the
// test that asked for it has ended.
class CapturedLog {
  public:
    LogFunction function() {
        return [lines = lines_](const std::string& line) { lines->push_back(line); };
    }
    const std::vector<std::string>& lines() const { return *lines_; }
    std::vector<std::string> startingWith(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const auto& line : *lines_) {
            if (line.starts_with(prefix)) {
                found.push_back(line);
            }
        }
        return found;
    }

  private:
    std::shared_ptr<std::vector<std::string>> lines_ = std::make_shared<std::vector<std::string>>();
};

inline void screenshot(QWidget& widget, const char* name) {
    std::filesystem::create_directories(RAVNIX_SHELL_SCREENSHOT_DIR);
    QCoreApplication::processEvents(); // rows added to a shown widget appear on the next turn
    widget.grab().save(QString(RAVNIX_SHELL_SCREENSHOT_DIR) + "/" + name + ".png");
}

// A model over fakes, its main queue run by the Qt event loop of the test.
struct ShellModel {
    std::shared_ptr<QtMainQueue> main = std::make_shared<QtMainQueue>();
    std::shared_ptr<RecordingEventSystem> events = std::make_shared<RecordingEventSystem>();
    std::shared_ptr<RecordingWorkspace> workspace = std::make_shared<RecordingWorkspace>();
    TemporaryFolder folder;
    std::shared_ptr<MacModel> model;

    // The window controllers go in before the model exists, as in the application.
    std::shared_ptr<MacModel> make(std::vector<std::string> addresses,
                                   std::shared_ptr<OnboardingWindowController> onboarding,
                                   std::shared_ptr<GestureGuideWindowController> guide) {
        auto environment = fakeEnvironment(folder.path(), main, events);
        environment.workspace = workspace;
        environment.addresses = std::move(addresses);
        // The port the windows show. Binding it may fail when the real application or a
        // parallel test holds it; the model then only records an error text.
        environment.port = 9931;
        environment.permissionHelpURL = "https://help.invalid/ravnix/permission";
        environment.onboarding = std::move(onboarding);
        environment.guide = std::move(guide);
        model = MacModel::make(std::move(environment)).value();
        return model;
    }

    std::string logText() const { return test::logText(folder.path()); }
};

} // namespace ravnix::test
