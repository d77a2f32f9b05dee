#include "ui/PairingWindow.hpp"

#include "ShellTestSupport.hpp"
#include "ui/QtWindowControllers.hpp"

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

namespace ravnix::test {
namespace {

PairingListener::Request makeRequest(std::string name, std::string code, bool phoneAccepted) {
    const std::vector<std::uint8_t> material(PairingKey::size, 7);
    PairingHello hello{"5B1C3B8E-0F7A-4C1B-9E2D-7A6F4C3B2A10", std::move(name), "iPhone15,2",
                       std::vector<std::uint8_t>(32, 1)};
    PairingOutcome outcome{PairingKey::make(material).value(), code};
    return {std::move(hello), std::move(code), std::move(outcome), phoneAccepted};
}

QString labelText(const QWidget& window, const char* name) {
    const auto* label = window.findChild<QLabel*>(QString::fromLatin1(name));
    return label != nullptr ? label->text() : QStringLiteral("<missing>");
}

int greenPixels(QWidget& widget) {
    const QImage image = widget.grab().toImage();
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            count += (c.green() > c.red() + 60 && c.green() > c.blue() + 40) ? 1 : 0;
        }
    }
    return count;
}

TEST(PairingWindow, TheNumberIsSplitInTwoGroupsOnlyWhenItHasSixCharacters) {
    EXPECT_EQ(PairingWindow::formatCode("012345"), "012 345") << "the leading zero stays";
    EXPECT_EQ(PairingWindow::formatCode("12345"), "12345");
    EXPECT_EQ(PairingWindow::formatCode("1234567"), "1234567");
    EXPECT_EQ(PairingWindow::formatCode(""), "");

    PairingWindow window(makeRequest("Ayşe'nin iPhone'u", "012345", false));
    EXPECT_EQ(labelText(window, "code"), "012 345");
    EXPECT_EQ(labelText(window, "device"), "Ayşe'nin iPhone'u · iPhone15,2");
}

TEST(PairingWindow, ShowsThePhonesConfirmationStateAndOnlyTheTitleBar) {
    PairingWindow waiting(makeRequest("Ayşe'nin iPhone'u", "482913", false));
    PairingWindow accepted(makeRequest("Ayşe'nin iPhone'u", "482913", true));
    waiting.show();
    accepted.show();
    EXPECT_EQ(labelText(waiting, "phoneState"), "iPhone'daki onay bekleniyor");
    EXPECT_EQ(labelText(accepted, "phoneState"), "iPhone onayladı, sıra sende");
    // The check is green, the hourglass is not.
    auto* hourglass = waiting.findChild<QLabel*>(QStringLiteral("phoneStateSymbol"));
    auto* check = accepted.findChild<QLabel*>(QStringLiteral("phoneStateSymbol"));
    ASSERT_NE(hourglass, nullptr);
    ASSERT_NE(check, nullptr);
    EXPECT_EQ(greenPixels(*hourglass), 0);
    EXPECT_GT(greenPixels(*check), 40);

    EXPECT_EQ(waiting.windowTitle(), "Ravnix — Eşleştirme");
    EXPECT_EQ(waiting.width(), PairingWindow::fixedWidth);
    const Qt::WindowFlags flags = waiting.windowFlags();
    EXPECT_FALSE(flags & (Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(waiting.minimumSize(), waiting.maximumSize()) << "the window cannot be resized";
    screenshot(waiting, "pairing-waiting");
    screenshot(accepted, "pairing-phone-accepted");
}

class PairingControllerTest : public ::testing::Test {
  protected:
    CapturedLog log;
    QtPairingWindowController controller{log.function()};
    std::vector<std::pair<int, bool>> decisions; // (request number, accepted)

    PairingWindowController::Decision decisionFor(int request) {
        return [this, request](bool accepted) {
            // The window is gone before the decision reaches the model.
            EXPECT_EQ(controller.window(), nullptr);
            decisions.emplace_back(request, accepted);
        };
    }
};

TEST_F(PairingControllerTest, ReturnAcceptsAndClosesTheWindowFirst) {
    controller.show(makeRequest("Ayşe", "482913", false), decisionFor(1));
    QPointer<PairingWindow> window = controller.window();
    ASSERT_TRUE(window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"gosterim istendi: eslestirme"});

    // Neither Escape nor the focus on the refusing button takes Return away.
    QTest::keyClick(window, Qt::Key_Escape);
    EXPECT_TRUE(window->isVisible());
    window->refuseButton()->setFocus();
    QTest::keyClick(window->refuseButton(), Qt::Key_Return);
    EXPECT_EQ(decisions, (std::vector<std::pair<int, bool>>{{1, true}}));
    EXPECT_FALSE(window && window->isVisible());

    controller.show(makeRequest("Ayşe", "482913", false), decisionFor(2));
    QTest::mouseClick(controller.window()->refuseButton(), Qt::LeftButton);
    EXPECT_EQ(decisions, (std::vector<std::pair<int, bool>>{{1, true}, {2, false}}));
}

TEST_F(PairingControllerTest, ANewerRequestReplacesTheWindowAndOnlyItsDecisionCounts) {
    controller.show(makeRequest("Ayşe", "482913", false), decisionFor(1));
    QPointer<PairingWindow> first = controller.window();
    controller.show(makeRequest("Ayşe", "482913", true), decisionFor(2));
    QPointer<PairingWindow> second = controller.window();
    ASSERT_TRUE(second);
    EXPECT_NE(first, second);
    EXPECT_FALSE(first && first->isVisible());
    EXPECT_EQ(labelText(*second, "phoneState"), "iPhone onayladı, sıra sende");

    // Even a press on the old window, before it is deleted, reaches nobody.
    if (first) {
        first->acceptButton()->click();
    }
    EXPECT_TRUE(decisions.empty());
    second->acceptButton()->click();
    second->acceptButton()->click(); // a second press cannot reach the model
    EXPECT_EQ(decisions, (std::vector<std::pair<int, bool>>{{2, true}}));

    // A cancellation closes without a decision.
    controller.show(makeRequest("Ayşe", "482913", false), decisionFor(3));
    QPointer<PairingWindow> third = controller.window();
    controller.close();
    EXPECT_EQ(controller.window(), nullptr);
    EXPECT_FALSE(third && third->isVisible());
    EXPECT_EQ(decisions.size(), 1U);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !first && !second && !third; }, 1000))
        << "dropped windows are deleted";
}

} // namespace
} // namespace ravnix::test
