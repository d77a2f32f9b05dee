#include "UiTestSupport.hpp"
#include "guide/GuideCatalog.hpp"
#include "guide/GuideFrame.hpp"
#include "guide/GuideText.hpp"
#include "ui/GestureGuideWindow.hpp"
#include "ui/GuideMainArea.hpp"
#include "ui/GuideScreenPainter.hpp"
#include "ui/GuideStage.hpp"
#include "ui/GuideStepList.hpp"
#include "ui/GuideSurfacePainter.hpp"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPainter>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace ravnix {
namespace {

using test::isNearBlack;
using test::isNearWhite;
using test::ManualClock;
using test::pixelAt;

QImage renderScreen(const QRectF& rect, const GuideScene& scene, double t) {
    QImage image(400, 300, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    GuideScreenPainter(QApplication::palette()).paint(painter, rect, scene, t);
    return image;
}

struct Shot {
    const char* id;
    double t;
};

// The whole window at fixed playback times, saved for a look; in each, every finger that
// touches at t has its disc where the finger track says, and the pointer's tip is where the
// scene puts it, both found from the panel geometry alone.
TEST(GuideRendering, FingerDiscsAndPointerLandWhereTheDemonstrationPutsThem) {
    const QString folder = QStringLiteral(RAVNIX_GUIDE_SCREENSHOT_DIR);
    ASSERT_TRUE(QDir().mkpath(folder));

    ManualClock clock;
    GestureGuideWindow window(clock.function());
    window.present();
    const GuideStage& stage = *window.mainArea()->stage();
    int touching = 0;

    for (const Shot shot : {Shot{"imlec", 1.2}, Shot{"sag-tik", 1.3}, Shot{"yakinlastir", 2.0},
                            Shot{"masaustu", 1.6}}) {
        SCOPED_TRACE(shot.id);
        const GestureDemo& demo = gestureDemo(shot.id);
        window.select(shot.id);
        window.restart();
        window.advanceFrame();
        const QImage before = window.grab().toImage(); // t = 0: no finger touches yet
        clock.advance(shot.t);
        window.advanceFrame();
        ASSERT_NEAR(stage.time(), shot.t, 1e-6);
        const QImage image = window.grab().toImage();
        ASSERT_EQ(image.size(), window.size());
        // The new demonstration's steps and note are laid out in full, not in the old boxes.
        const GuideStepList& steps = *window.mainArea()->steps();
        EXPECT_GE(steps.height(), steps.heightForWidth(steps.width()));
        const auto* note = window.findChild<QLabel*>(QStringLiteral("note"));
        EXPECT_GE(note->height(), note->heightForWidth(note->width()));
        EXPECT_TRUE(image.save(folder + QStringLiteral("/%1.png").arg(shot.id)));

        const QPointF origin = stage.mapTo(&window, QPointF(0, 0));
        const QRectF surface = stage.surfaceRect().translated(origin);
        for (const FingerTrack& finger : demo.fingers) {
            if (const auto at = finger.position(shot.t)) {
                ++touching;
                const QPointF centre(surface.left() + at->x * surface.width(),
                                     surface.top() + at->y * surface.height());
                EXPECT_TRUE(isNearWhite(pixelAt(image, centre)))
                    << pixelAt(image, centre).name().toStdString();
                EXPECT_FALSE(isNearWhite(pixelAt(before, centre)));
            }
        }

        const QRectF content =
            GuideScreenPainter::contentRect(stage.screenRect().translated(origin), demo.scene.kind);
        const ScreenPoint tip =
            pointerPosition(demo.scene, shot.t, GuideScreenPainter::area(content));
        const QPointF inside = content.topLeft() + QPointF(tip.x + 2.5, tip.y + 7);
        const QPointF leftOfTip = content.topLeft() + QPointF(tip.x - 6, tip.y + 7);
        EXPECT_TRUE(isNearBlack(pixelAt(image, inside)))
            << pixelAt(image, inside).name().toStdString();
        EXPECT_FALSE(isNearBlack(pixelAt(image, leftOfTip)));
    }
    EXPECT_GE(touching, 3) << "the discs of imlec and yakinlastir were checked";
}

TEST(GuideRendering, SelectionLiesUnderTheChosenWordOfTheScrolledText) {
    const GestureDemo& demo = gestureDemo("cift-tik");
    const QRectF rect(20, 10, 330, 213);
    const QImage image = renderScreen(rect, demo.scene, 1.42);
    const QRectF content = GuideScreenPainter::contentRect(rect, demo.scene.kind);
    const ScreenArea area = GuideScreenPainter::area(content);

    const auto part = selectedPart(demo.scene, 1.42, 1);
    ASSERT_TRUE(part.has_value());
    // Between the selection's top and the word bar's: only the selection's tint is there.
    const double y = content.top() + textLineTop(1, 0, area) + 3;
    const QColor inside =
        pixelAt(image, {content.left() + textX((part->start + part->end) / 2, area), y});
    const QColor outside = pixelAt(image, {content.left() + textX(part->end + 0.1, area), y});
    const QColor accent = QApplication::palette().color(QPalette::Highlight);
    const auto distance = [](const QColor& a, const QColor& b) {
        return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) +
               std::abs(a.blue() - b.blue());
    };
    EXPECT_LT(distance(inside, accent), distance(outside, accent)) << inside.name().toStdString();
    EXPECT_GT(distance(inside, outside), 40);
    // Line 0 has no selection at all.
    const double line0 = content.top() + textLineTop(0, 0, area) + 3;
    EXPECT_EQ(pixelAt(image, {content.left() + textX(0.27, area), line0}), outside);
}

TEST(GuideRendering, DesktopWindowSlidesRightUncoveringTheWallpaper) {
    const GestureDemo& demo = gestureDemo("masaustu");
    const QRectF rect(0, 0, 330, 213);
    const QPointF middleOfWindow(rect.width() * 0.4, rect.height() * 0.6);
    const QColor covered = pixelAt(renderScreen(rect, demo.scene, 1.0), middleOfWindow);
    const QColor uncovered = pixelAt(renderScreen(rect, demo.scene, 2.5), middleOfWindow);
    EXPECT_EQ(covered, QApplication::palette().color(QPalette::Base));
    // The wallpaper is a blue-violet gradient.
    EXPECT_GT(uncovered.blue(), uncovered.red() + 40);
    EXPECT_GT(uncovered.blue(), uncovered.green() + 40);
}

// Scripts beyond their sensible range (a finger off the surface, NaN zoom and time, a popup
// past 1, a window moved far aside) still draw only inside the given rectangle.
TEST(GuideRendering, OutOfRangeScriptsNeverDrawOutsideThePanel) {
    GestureDemo demo = gestureDemo("sag-tik");
    demo.fingers.push_back(FingerTrack{{{0, {1.8, -0.5}, true}, {9, {-2, 2}, true}}});
    demo.pulses.push_back(Pulse{1.0, {1.5, 1.5}, Pulse::Kind::system});
    demo.scene.zoom = Ramp::constant(std::numeric_limits<double>::quiet_NaN());
    demo.scene.popup = Ramp::constant(7);
    demo.scene.cursorX = Ramp::constant(0.97);
    demo.scene.cursorY = Ramp::constant(0.97);
    GuideScene desktop = gestureDemo("masaustu").scene;
    desktop.reveal = Ramp::constant(40);

    const QRectF rect(60, 50, 200, 130);
    for (const double t :
         {1.2, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        QImage image(320, 240, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter painter(&image);
            GuideSurfacePainter::paint(painter, rect, demo, t);
            GuideScreenPainter(QApplication::palette()).paint(painter, rect, demo.scene, t);
            GuideScreenPainter(QApplication::palette()).paint(painter, rect, desktop, t);
            GuideSurfacePainter::paint(painter, QRectF(0, 0, 0, 40), demo, t);
        }
        int outside = 0;
        int inside = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const bool painted = image.pixelColor(x, y).alpha() != 0;
                (rect.contains(x + 0.5, y + 0.5) ? inside : outside) += painted ? 1 : 0;
            }
        }
        EXPECT_EQ(outside, 0) << t;
        EXPECT_GT(inside, 0) << t;
    }
}

} // namespace
} // namespace ravnix
