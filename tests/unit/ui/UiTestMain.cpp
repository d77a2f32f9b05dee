// The widgets need a QApplication; the offscreen platform renders without a display, at one
// device pixel per point, so screenshots and pixel checks are the same on every machine.

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
