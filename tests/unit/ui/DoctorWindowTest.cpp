// The connection doctor's window: open at once while the checks run on their own thread, then
// one line per check; a second request while they run starts nothing.

#include "ui/DoctorWindow.hpp"

#include "ShellTestSupport.hpp"

#include <QPushButton>
#include <QTest>
#include <atomic>
#include <future>
#include <gtest/gtest.h>

namespace ravnix::test {
namespace {

TEST(DoctorWindow, OpensAtOnceAndShowsEachCheckWhenTheRunEnds) {
    CapturedLog log;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> prepared{0};
    const std::vector<DoctorCheck> checks = {
        {"ağ", true, "192.168.1.20 (wlan0)", ""},
        {"güvenlik duvarı", false, "nftables kapatıyor: 9931/udp", "sudo nft ..."},
    };
    DoctorWindowController controller(
        [&] {
            ++prepared;
            return DoctorWindowController::Run([released, checks] {
                released.wait();
                return checks;
            });
        },
        log.function());

    controller.start();
    DoctorWindow* window = controller.window();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isRunning());
    EXPECT_EQ(window->lines(), QStringList{"Bağlantı denetleniyor…"});
    controller.start(); // brought forward again, not run twice
    EXPECT_EQ(prepared, 1);

    release.set_value();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isRunning(); }, 5000));
    EXPECT_EQ(window->lines(), (QStringList{QString::fromStdString(doctorLine(checks[0])),
                                            QString::fromStdString(doctorLine(checks[1]))}));
    EXPECT_TRUE(window->againButton()->isEnabled());
    EXPECT_EQ(log.startingWith("doktor: 1/2 gecti").size(), 1U);
    EXPECT_EQ(log.startingWith("gosterim istendi: doktor").size(), 2U);
    screenshot(*window, "doctor");

    QTest::mouseClick(window->againButton(), Qt::LeftButton);
    EXPECT_EQ(prepared, 2);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isRunning(); }, 5000));
}

} // namespace
} // namespace ravnix::test
