#include "ui/OnboardingWindow.hpp"

#include "ShellTestSupport.hpp"
#include "ui/QtWindowControllers.hpp"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <gtest/gtest.h>

namespace ravnix::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

QStringList addressLines(const QWidget& window) {
    QStringList lines;
    for (const QLabel* label : window.findChildren<QLabel*>(QStringLiteral("address"))) {
        lines << label->text();
    }
    return lines;
}

bool showsText(const QWidget& window, const QString& text) {
    for (const QLabel* label : window.findChildren<QLabel*>()) {
        if (label->text() == text && label->isVisible()) {
            return true;
        }
    }
    return false;
}

int onboardingWindowCount() {
    int count = 0;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        count += qobject_cast<OnboardingWindow*>(widget) != nullptr ? 1 : 0;
    }
    return count;
}

class OnboardingTest : public ::testing::Test {
  protected:
    CapturedLog presenterLog;
    std::shared_ptr<QtOnboardingWindowController> onboarding =
        std::make_shared<QtOnboardingWindowController>(presenterLog.function());
    std::shared_ptr<QtGuideWindowController> guide =
        std::make_shared<QtGuideWindowController>(presenterLog.function());
    ShellModel shell;

    std::shared_ptr<MacModel> makeModel(std::vector<std::string> addresses) {
        auto model = shell.make(std::move(addresses), onboarding, guide);
        onboarding->setModel(model);
        return model;
    }
};

TEST_F(OnboardingTest, TheGrantSwitchesToTheAddressesAndClosesTheWindowTwoSecondsLater) {
    shell.events->setTrusted(false);
    makeModel({"192.168.1.20", "10.0.0.2"});
    onboarding->show();
    QPointer<OnboardingWindow> window = onboarding->window();
    ASSERT_TRUE(window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->isShowingGranted());
    EXPECT_TRUE(showsText(*window, QStringLiteral("İzin bekleniyor…")));
    EXPECT_TRUE(showsText(*window, QStringLiteral("Listede Ravnix'i işaretle")));
    EXPECT_FALSE(showsText(*window, QStringLiteral("İzin verildi")));
    EXPECT_EQ(window->width(), OnboardingWindow::fixedWidth);
    screenshot(*window, "onboarding-waiting");

    QTest::mouseClick(window->findChild<QPushButton*>(QStringLiteral("settingsButton")),
                      Qt::LeftButton);
    EXPECT_EQ(shell.workspace->calls().size(), 1U) << "the permission help is opened";
    // Where the event system can ask the desktop (the portal), the button asks it instead.
    int requests = 0;
    onboarding->setRequestPermission([&requests] { ++requests; });
    QTest::mouseClick(window->findChild<QPushButton*>(QStringLiteral("settingsButton")),
                      Qt::LeftButton);
    EXPECT_EQ(requests, 1);
    EXPECT_EQ(shell.workspace->calls().size(), 1U);
    EXPECT_NE(shell.logText().find("dugme: izin iste"), std::string::npos);
    onboarding->setRequestPermission({});

    shell.events->setTrusted(true);
    const auto granted = Clock::now();
    // The model polls once a second.
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->isShowingGranted(); }, 2000));
    const auto switched = Clock::now();
    EXPECT_TRUE(showsText(*window, QStringLiteral("İzin verildi")));
    EXPECT_FALSE(showsText(*window, QStringLiteral("İzin bekleniyor…")));
    EXPECT_EQ(addressLines(*window), (QStringList{"192.168.1.20:9931", "10.0.0.2:9931"}));
    screenshot(*window, "onboarding-granted");

    ASSERT_TRUE(QTest::qWaitFor([&] { return !window || !window->isVisible(); }, 3500));
    const auto closed = Clock::now();
    EXPECT_GE(closed - switched, 1900ms) << "closed before its two seconds";
    EXPECT_LT(closed - granted, 4000ms);
    EXPECT_EQ(onboarding->window(), nullptr) << "the controller lets the closed window go";
}

TEST_F(OnboardingTest, AWindowLetGoWhileItsCloseWasPendingLeavesTheNextOneOpen) {
    shell.events->setTrusted(false);
    makeModel({"192.168.1.20"});
    onboarding->show();
    QPointer<OnboardingWindow> first = onboarding->window();
    shell.events->setTrusted(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return first->isShowingGranted(); }, 2000));
    ASSERT_TRUE(first->isFinishing());

    onboarding->close();
    onboarding->show();
    OnboardingWindow* second = onboarding->window();
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first.data());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !first; }, 1000));
    QTest::qWait(100);
    EXPECT_EQ(onboarding->window(), second) << "the old window's late close took the new one";
    EXPECT_TRUE(second->isVisible());
}

TEST_F(OnboardingTest, ShownWhileTrustedItOffersTheGuideAndStaysWithoutAddresses) {
    auto model = makeModel({});
    onboarding->show();
    OnboardingWindow* window = onboarding->window();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isShowingGranted());
    EXPECT_TRUE(
        showsText(*window, QStringLiteral("iPhone'daki Ravnix uygulamasına bu adresi gir:")));
    EXPECT_TRUE(addressLines(*window).isEmpty());
    screenshot(*window, "onboarding-granted-no-address");

    QTest::mouseClick(window->findChild<QPushButton*>(QStringLiteral("guideButton")),
                      Qt::LeftButton);
    ASSERT_NE(guide->window(), nullptr);
    EXPECT_TRUE(guide->window()->isVisible());
    const std::string log = shell.logText();
    EXPECT_NE(log.find("dugme: kilavuz"), std::string::npos) << log;

    // No change of the permission, so no close.
    QTest::qWait(300);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->isFinishing());
}

TEST_F(OnboardingTest, ShowingTwiceBringsTheSameWindowForward) {
    shell.events->setTrusted(false);
    makeModel({"192.168.1.20"});
    onboarding->show();
    OnboardingWindow* window = onboarding->window();
    onboarding->show();
    EXPECT_EQ(onboarding->window(), window);
    EXPECT_EQ(onboardingWindowCount(), 1);

    // Closed by the user, it is still the one that comes back.
    window->close();
    onboarding->show();
    EXPECT_EQ(onboarding->window(), window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(presenterLog.startingWith("gosterim istendi: kurulum").size(), 3U);
}

} // namespace
} // namespace ravnix::test
