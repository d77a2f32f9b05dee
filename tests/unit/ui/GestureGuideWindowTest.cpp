#include "ui/GestureGuideWindow.hpp"

#include "UiTestSupport.hpp"
#include "guide/GuideCatalog.hpp"
#include "ui/GuideMainArea.hpp"
#include "ui/GuideSidebar.hpp"
#include "ui/GuideStage.hpp"
#include "ui/GuideStepList.hpp"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

namespace ravnix {
namespace {

using test::ManualClock;

QString titleShown(const GestureGuideWindow& window) {
    return window.findChild<QLabel*>(QStringLiteral("title"))->text();
}

void clickRow(GuideSidebar& sidebar, QListWidgetItem* row) {
    ASSERT_NE(row, nullptr);
    sidebar.scrollToItem(row);
    QTest::mouseClick(sidebar.viewport(), Qt::LeftButton, {}, sidebar.visualItemRect(row).center());
}

TEST(GestureGuideWindow, SlowSwitchAndBastanButtonStartTheDemonstrationOver) {
    ManualClock clock;
    GestureGuideWindow window(clock.function());
    window.present();
    auto* slow = window.findChild<QCheckBox*>(QStringLiteral("slowSwitch"));
    auto* again = window.findChild<QPushButton*>(QStringLiteral("restartButton"));
    ASSERT_NE(slow, nullptr);
    ASSERT_NE(again, nullptr);

    clock.advance(2.0);
    EXPECT_NEAR(window.playbackTime(), 2.0, 1e-6);

    slow->click();
    EXPECT_TRUE(window.isSlow());
    EXPECT_EQ(window.playbackTime(), 0);
    clock.advance(2.5);
    QTest::mouseClick(again, Qt::LeftButton);
    EXPECT_EQ(window.playbackTime(), 0);
    clock.advance(0.5);
    EXPECT_NEAR(window.playbackTime(), 0.2, 1e-6) << "Baştan keeps the slow speed";

    slow->click();
    EXPECT_FALSE(window.isSlow());
    EXPECT_EQ(window.playbackTime(), 0);
}

TEST(GestureGuideWindow, ChoosingARowPlaysItsDemonstrationFromTheStart) {
    ManualClock clock;
    GestureGuideWindow window(clock.function());
    window.present();
    GuideSidebar& sidebar = *window.sidebar();
    EXPECT_EQ(window.selection(), "imlec");
    EXPECT_EQ(sidebar.currentItem(), sidebar.itemForDemo("imlec"));

    clock.advance(2.5);
    clickRow(sidebar, sidebar.itemForDemo("sag-tik"));
    EXPECT_EQ(window.selection(), "sag-tik");
    EXPECT_EQ(window.playbackTime(), 0);
    EXPECT_EQ(titleShown(window), QStringLiteral("Sağ tık"));
    EXPECT_EQ(window.mainArea()->steps()->current(), 0u);

    // A section header is no demonstration: clicking it changes nothing.
    clock.advance(1.0);
    clickRow(sidebar, sidebar.item(0));
    EXPECT_EQ(window.selection(), "sag-tik");
    EXPECT_NEAR(window.playbackTime(), 1.0, 1e-6);

    // The chosen row again keeps playing; another row of another group starts over.
    clickRow(sidebar, sidebar.itemForDemo("sag-tik"));
    EXPECT_NEAR(window.playbackTime(), 1.0, 1e-6);
    clickRow(sidebar, sidebar.itemForDemo("masaustu"));
    EXPECT_EQ(window.selection(), "masaustu");
    EXPECT_EQ(window.playbackTime(), 0);
    EXPECT_EQ(titleShown(window), QStringLiteral("Masaüstünü göster"));

    // An unknown id plays the first demonstration, and its row is the one marked.
    window.select("yok");
    EXPECT_EQ(titleShown(window), QStringLiteral("İmleç"));
    EXPECT_EQ(sidebar.currentItem(), sidebar.itemForDemo("imlec"));
}

TEST(GestureGuideWindow, KeepsItsStateWhenClosedAndRedrawsOnlyWhileVisible) {
    ManualClock clock;
    GestureGuideWindow window(clock.function());
    EXPECT_FALSE(window.isAnimating()) << "not shown yet";

    window.present();
    EXPECT_TRUE(window.isAnimating());
    window.select("kaydirma");
    window.setSlow(true);
    window.close();
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(window.isAnimating());

    window.present();
    EXPECT_TRUE(window.isAnimating());
    EXPECT_EQ(window.selection(), "kaydirma");
    EXPECT_TRUE(window.isSlow());
    EXPECT_TRUE(window.findChild<QCheckBox*>(QStringLiteral("slowSwitch"))->isChecked());
    EXPECT_EQ(titleShown(window), QStringLiteral("Kaydırma"));

    // The timer, not the test, brings the next frame to the drawings.
    clock.advance(2.0);
    const GuideStage& stage = *window.mainArea()->stage();
    EXPECT_TRUE(QTest::qWaitFor([&] { return stage.time() > 0.7; }, 2000));
    EXPECT_NEAR(stage.time(), 0.8, 1e-6);
}

TEST(GuideStepList, CurrentStepEasesInOverFifteenHundredthsOfWallTime) {
    GuideStepList steps;
    steps.setDemo(gestureDemo("imlec")); // steps at 0, 0.6 and 2.35 s
    steps.setFrame(0.5, 1.0);
    EXPECT_EQ(steps.current(), 0u);
    EXPECT_EQ(steps.highlight(0), 1.0) << "the first frame shows its step at once";

    steps.setFrame(0.6, 1.0);
    EXPECT_EQ(steps.current(), 1u);
    EXPECT_EQ(steps.highlight(1), 0.0);
    EXPECT_EQ(steps.highlight(0), 1.0);

    steps.setFrame(0.675, 1.0);
    const double halfway = steps.highlight(1);
    EXPECT_GT(halfway, 0.6) << "ease-out: most of the change comes first";
    EXPECT_LT(halfway, 1.0);
    EXPECT_NEAR(steps.highlight(0), 1 - halfway, 1e-9);

    steps.setFrame(0.75, 1.0);
    EXPECT_EQ(steps.highlight(1), 1.0);
    EXPECT_EQ(steps.highlight(0), 0.0);

    // At speed 0.4 the same wall-clock half (0.075 s) is 0.03 s of playback.
    steps.setFrame(2.35, 0.4);
    steps.setFrame(2.38, 0.4);
    EXPECT_EQ(steps.current(), 2u);
    EXPECT_NEAR(steps.highlight(2), halfway, 1e-9);

    // The loop starts over: the last step dims while the first comes back.
    steps.setFrame(3.4, 1.0);
    steps.setFrame(0.0, 1.0);
    EXPECT_EQ(steps.current(), 0u);
    EXPECT_EQ(steps.highlight(0), 0.0);
    EXPECT_EQ(steps.highlight(2), 1.0);
    EXPECT_EQ(steps.highlight(7), 0.0);
}

} // namespace
} // namespace ravnix
