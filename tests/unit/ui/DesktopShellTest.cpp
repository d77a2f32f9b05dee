#include "ui/DesktopShell.hpp"

#include "../platform/TemporaryFolder.hpp"
#include "FakeEnvironment.hpp"
#include "platform/AsioMainQueue.hpp"
#include "platform/events/RecordingEventSystem.hpp"
#include "ui/SingleInstance.hpp"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

namespace ravnix::test {
namespace {

struct CountingOnboarding final : OnboardingWindowController {
    int* shown;
    explicit CountingOnboarding(int* s) : shown(s) {}
    void show() override { ++*shown; }
    void close() override {}
};
struct CountingGuide final : GestureGuideWindowController {
    int* shown;
    explicit CountingGuide(int* s) : shown(s) {}
    void show() override { ++*shown; }
};

class DesktopShellTest : public ::testing::Test {
  protected:
    std::shared_ptr<AsioMainQueue> main = std::make_shared<AsioMainQueue>();
    std::shared_ptr<RecordingEventSystem> events = std::make_shared<RecordingEventSystem>();
    TemporaryFolder folder;
    int onboardingShown = 0;
    int guideShown = 0;

    std::unique_ptr<DesktopShell> makeShell(bool useTray = false, bool canPlaceWindows = true) {
        auto environment = fakeEnvironment(folder.path(), main, events);
        auto model = MacModel::make(std::move(environment)).value();
        DesktopShell::Parts parts;
        parts.model = model;
        parts.onboarding = std::make_shared<CountingOnboarding>(&onboardingShown);
        parts.guide = std::make_shared<CountingGuide>(&guideShown);
        parts.versionLabel = QStringLiteral("v1 (1)");
        parts.useTray = useTray;
        parts.canPlaceWindows = canPlaceWindows;
        parts.eventsDescription = QStringLiteral("log — events.log");
        return std::make_unique<DesktopShell>(std::move(parts));
    }

    std::string logText() const { return test::logText(folder.path()); }
};

TEST_F(DesktopShellTest, WithoutTrayThePanelIsAWindowAndReopenFollowsThePermission) {
    events->setTrusted(false);
    auto shell = makeShell();
    shell->launched(false);
    EXPECT_EQ(onboardingShown, 1);
    EXPECT_TRUE(shell->panel().isVisible());
    EXPECT_EQ(shell->shownSymbol(), "exclamationmark.triangle");

    shell->panel().hide();
    shell->reopen();
    EXPECT_EQ(onboardingShown, 2);
    EXPECT_EQ(guideShown, 0);
    EXPECT_TRUE(shell->panel().isVisible());
    EXPECT_NE(logText().find("dugme: kurulum"), std::string::npos);

    events->setTrusted(true);
    EXPECT_TRUE(runUntil(*main, [&] { return shell->panel().isDevicesBlockShown(); }));
    EXPECT_EQ(shell->shownSymbol(), "rectangle.dashed");
    shell->reopen();
    EXPECT_EQ(guideShown, 1);
    EXPECT_NE(logText().find("dugme: kilavuz"), std::string::npos);
}

TEST_F(DesktopShellTest, WhereWindowsCannotPlaceThemselvesTheTraysPanelIsAnOrdinaryWindow) {
    // Where the panel can be placed it is a popup beside the icon; on Wayland it is a window.
    EXPECT_TRUE(makeShell(true, true)->panel().windowFlags().testFlag(Qt::Popup));
    auto shell = makeShell(true, false);
    ASSERT_NE(shell->tray(), nullptr);
    EXPECT_FALSE(shell->panel().windowFlags().testFlag(Qt::Popup));
    EXPECT_EQ(shell->panel().windowTitle(), "Ravnix");
    EXPECT_EQ(shell->panel().eventsDescription(), "Olay sistemi: log — events.log");
    shell->launched(true);
    EXPECT_FALSE(shell->panel().isVisible()) << "with a tray the panel waits for the icon";
    shell->togglePanel();
    EXPECT_TRUE(shell->panel().isVisible());
    shell->togglePanel();
    EXPECT_FALSE(shell->panel().isVisible());
}

TEST(SingleInstance, ASecondLaunchReachesTheFirst) {
    TemporaryFolder folder;
    const QString name = QString::fromStdString((folder.path() / "ravnix.sock").string());
    EXPECT_FALSE(SingleInstance::tellRunningInstance(name, 200)); // nobody runs yet

    SingleInstance first;
    int reopened = 0;
    ASSERT_TRUE(first.listen(name, [&] { ++reopened; }));
    ASSERT_TRUE(SingleInstance::tellRunningInstance(name, 1000));
    ASSERT_TRUE(SingleInstance::tellRunningInstance(name, 1000));
    QElapsedTimer waited;
    waited.start();
    while (reopened < 2 && waited.elapsed() < 3000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    EXPECT_EQ(reopened, 2);

    // A socket left behind by a run that crashed does not stop the next one.
    SingleInstance second;
    EXPECT_TRUE(second.listen(name, [] {}));
}

} // namespace
} // namespace ravnix::test
