#include "ui/WindowPresenter.hpp"

#include "ShellTestSupport.hpp"
#include "ui/QtWindowControllers.hpp"

#include <QTest>
#include <gtest/gtest.h>
#include <regex>

namespace ravnix::test {
namespace {

// Long enough for both delayed steps, with room for a loaded machine.
constexpr int settleLimitMs = 2000;

bool waitForLines(const CapturedLog& log, std::size_t count) {
    return QTest::qWaitFor([&] { return log.lines().size() >= count; }, settleLimitMs);
}

TEST(WindowPresenter, EachPresentationLogsItsRequestAndThenItsOutcome) {
    CapturedLog log;
    QWidget first;
    QWidget second;
    first.resize(300, 200);
    second.resize(320, 180);
    presentWindow(first, "kurulum", log.function());
    presentWindow(second, "eslestirme", log.function());
    ASSERT_EQ(log.lines(), (std::vector<std::string>{"gosterim istendi: kurulum",
                                                     "gosterim istendi: eslestirme"}));
    EXPECT_TRUE(first.isVisible()) << "the window shows at once, not only after the delay";

    ASSERT_TRUE(waitForLines(log, 4));
    const std::regex outcome(
        R"(sonuc: (\w+) gorunur=(true|false) anahtar=(true|false) aktif=(true|false) cerceve=(\d+)x(\d+))");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(log.lines()[2], match, outcome)) << log.lines()[2];
    EXPECT_EQ(match[1], "kurulum");
    EXPECT_EQ(match[2], "true");
    // The frame: the window with what the window system draws around it.
    const QRect frame = second.frameGeometry();
    EXPECT_TRUE(frame.contains(second.geometry()));
    ASSERT_TRUE(std::regex_match(log.lines()[3], match, outcome)) << log.lines()[3];
    EXPECT_EQ(match[1], "eslestirme");
    EXPECT_EQ(match[2], "true");
    // The later presentation ends in front, with the focus, and the application active.
    EXPECT_EQ(match[3], "true");
    EXPECT_EQ(match[4], "true");
    EXPECT_EQ(match[5].str() + "x" + match[6].str(),
              std::to_string(frame.width()) + "x" + std::to_string(frame.height()));
    EXPECT_TRUE(second.isActiveWindow());
    // Back at the normal level once settled.
    EXPECT_FALSE(first.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_FALSE(second.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
}

TEST(WindowPresenter, AWindowClosedOrGoneBeforeTheDelayIsNotShownAgain) {
    CapturedLog log;
    QWidget closed;
    auto gone = std::make_unique<QWidget>();
    QWidget onTop(nullptr, Qt::Window | Qt::WindowStaysOnTopHint);
    presentWindow(closed, "eslestirme", log.function());
    presentWindow(*gone, "kurulum", log.function());
    presentWindow(onTop, "kilavuz", log.function());
    closed.close(); // a pairing cancelled right after its window opened
    gone.reset();
    ASSERT_TRUE(waitForLines(log, 6));
    EXPECT_FALSE(closed.isVisible());
    EXPECT_TRUE(log.lines()[3].starts_with("sonuc: eslestirme gorunur=false ")) << log.lines()[3];
    EXPECT_TRUE(log.lines()[4].starts_with("sonuc: kurulum gorunur=false anahtar=false"));
    EXPECT_TRUE(log.lines()[4].ends_with(" cerceve=0x0"));
    // A window that stays on top by its own choice keeps it.
    EXPECT_TRUE(onTop.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
}

TEST(QtGuideWindowController, PresentsOneGuideWindowUnderItsTagWithItsFrameSize) {
    CapturedLog log;
    QtGuideWindowController guide(log.function());
    guide.show();
    GestureGuideWindow* window = guide.window();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(waitForLines(log, 2));
    EXPECT_EQ(log.lines()[0], "gosterim istendi: kilavuz");
    EXPECT_EQ(window->size(), QSize(940, 660));
    EXPECT_TRUE(log.lines()[1].starts_with("sonuc: kilavuz gorunur=true anahtar=true aktif=true"))
        << log.lines()[1];

    window->close();
    guide.show();
    EXPECT_EQ(guide.window(), window) << "the guide keeps its window and its playback";
    EXPECT_TRUE(window->isVisible());
    ASSERT_TRUE(waitForLines(log, 4));
    EXPECT_EQ(log.startingWith("gosterim istendi: kilavuz").size(), 2U);
}

} // namespace
} // namespace ravnix::test
