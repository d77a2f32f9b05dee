#include "ui/MenuContent.hpp"

#include "ShellTestSupport.hpp"
#include "platform/AsioMainQueue.hpp"
#include "ui/TrayIcons.hpp"

#include <QCheckBox>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>
#include <chrono>
#include <gtest/gtest.h>

namespace ravnix::test {
namespace {

class MenuContentTest : public ::testing::Test {
  protected:
    std::shared_ptr<AsioMainQueue> main = std::make_shared<AsioMainQueue>();
    std::shared_ptr<RecordingEventSystem> events = std::make_shared<RecordingEventSystem>();
    std::shared_ptr<RecordingWorkspace> workspace = std::make_shared<RecordingWorkspace>();
    TemporaryFolder folder;
    std::shared_ptr<MacModel> model;
    int guideShown = 0;
    int checksAsked = 0;

    std::unique_ptr<MenuContent> makePanel() {
        auto environment = fakeEnvironment(folder.path(), main, events);
        environment.workspace = workspace;
        model = MacModel::make(std::move(environment)).value();
        return std::make_unique<MenuContent>(
            model,
            MenuContent::Actions{[this] { ++guideShown; }, {}, {}, [this] { ++checksAsked; }},
            QStringLiteral("v0.1.0 (42)"));
    }

    // Pairs a phone called `name` through the model, as an accepted request would.
    void pair(const std::string& name, const std::string& deviceID) {
        model->resolvePairing(true, pairingRequest(name, deviceID, true));
    }

    std::string logText() const { return test::logText(folder.path()); }
};

TEST_F(MenuContentTest, WithoutPermissionOnlyThePermissionBlockShows) {
    events->setTrusted(false);
    auto panel = makePanel();
    panel->show();
    EXPECT_EQ(panel->dotColour(), QColor(0xE0, 0x44, 0x3E));
    EXPECT_EQ(panel->headerLine(), "Erişilebilirlik izni gerekiyor");
    EXPECT_TRUE(panel->isPermissionBlockShown());
    EXPECT_FALSE(panel->isDevicesBlockShown());
    EXPECT_EQ(panel->width(), MenuContent::panelWidth);
    screenshot(*panel, "panel-no-permission");

    QTest::mouseClick(panel->setupButton(), Qt::LeftButton);
    EXPECT_NE(logText().find("dugme: kurulum"), std::string::npos);
}

TEST_F(MenuContentTest, TheEventSystemsReasonAndChoiceShowAndTheDoctorIsOneClickAway) {
    auto explained = std::make_shared<ExplainedEvents>();
    explained->setTrusted(false);
    explained->reason = "X ekranıyla (:7) bağlantı koptu; yeniden bağlanmayı bekliyor";
    events = explained;
    auto panel = makePanel();
    panel->show();
    EXPECT_EQ(panel->headerLine(), QString::fromStdString(*explained->reason));
    EXPECT_TRUE(panel->eventsDescription().isEmpty());
    panel->setEventsDescription(QStringLiteral("portal — Wayland oturumu"));
    EXPECT_EQ(panel->eventsDescription(), "Olay sistemi: portal — Wayland oturumu");
    screenshot(*panel, "panel-events-reason");

    // A new reason reaches the header at the next permission poll, without a change of trust.
    explained->reason = "masaustu oturumu kapatti";
    EXPECT_TRUE(runUntil(*main, [&] { return panel->headerLine() == "masaustu oturumu kapatti"; }));

    ASSERT_NE(panel->checkConnectionButton(), nullptr);
    panel->developerToggle()->click();
    QTest::mouseClick(panel->checkConnectionButton(), Qt::LeftButton);
    EXPECT_EQ(checksAsked, 1);
    EXPECT_NE(logText().find("dugme: doktor"), std::string::npos);
}

TEST_F(MenuContentTest, IdleAndActiveLinkColoursAndDeviceRows) {
    auto panel = makePanel();
    panel->show();
    EXPECT_EQ(panel->dotColour(), QColor(0xF2, 0x9D, 0x38));
    EXPECT_EQ(panel->headerLine(), "Hazır");
    EXPECT_TRUE(panel->deviceLines().isEmpty());

    pair("Ayşe", "5B1C3B8E-0F7A-4C1B-9E2D-7A6F4C3B2A10");
    pair("Emre", "0E7C1A44-2B7D-4E8F-A1C3-9D5E6F708192");
    EXPECT_EQ(panel->deviceLines(), (QStringList{"Emre|iPhone15,2", "Ayşe|iPhone15,2"}));

    LinkServer::Stats stats;
    stats.lastPacketAgoSeconds = 0.2;
    stats.touchPackets = 40;
    model->receiveStats(stats);
    EXPECT_EQ(panel->dotColour(), QColor(0x2F, 0xA8, 0x4F));
    EXPECT_EQ(panel->headerLine(), "Kullanılıyor · Wi-Fi");
    EXPECT_EQ(panel->deviceLines(), (QStringList{"Emre|Wi-Fi ile bağlı", "Ayşe|Wi-Fi ile bağlı"}));
    stats.isPeerRoute = true;
    model->receiveStats(stats);
    EXPECT_EQ(panel->deviceLines(),
              (QStringList{"Emre|AirDrop ile bağlı", "Ayşe|AirDrop ile bağlı"}));
    panel->developerToggle()->click();
    screenshot(*panel, "panel-active");

    // Removing a device: the header names it until packets flow again.
    QTest::mouseClick(panel->removeButton(1), Qt::LeftButton);
    EXPECT_EQ(panel->headerLine(), "Ayşe kaldırıldı");
    EXPECT_EQ(panel->deviceLines(), (QStringList{"Emre|AirDrop ile bağlı"}));
}

TEST_F(MenuContentTest, DeveloperGroupStatisticsAndRecording) {
    auto panel = makePanel();
    EXPECT_FALSE(panel->developerToggle()->isChecked());
    EXPECT_EQ(panel->statisticLines(), (QStringList{"Dokunma paketi 0", "Kayıp 0", "Hız 0/sn"}));
    LinkServer::Stats stats;
    stats.rejectedPackets = 3;
    stats.clampedJumps = 1;
    stats.packetsPerSecond = 119.6;
    model->receiveStats(stats);
    EXPECT_EQ(panel->statisticLines(), (QStringList{"Dokunma paketi 0", "Kayıp 0", "Hız 120/sn",
                                                    "İmzasız 3", "Sıçrama kelepçesi 1"}));

    EXPECT_EQ(panel->recordingText(), "0 satır bellekte");
    panel->recordingSwitch()->click();
    EXPECT_FALSE(model->isRecording());
    EXPECT_EQ(panel->recordingText(), "kapalı");

    QTest::mouseClick(panel->guideButton(), Qt::LeftButton);
    EXPECT_EQ(guideShown, 1);
    EXPECT_NE(logText().find("dugme: kilavuz"), std::string::npos);
}

TEST_F(MenuContentTest, SpeedSliderEndsWriteThroughTheModel) {
    auto panel = makePanel();
    EXPECT_EQ(panel->speedText(), "1.00×");
    panel->speedSlider()->setValue(panel->speedSlider()->minimum());
    EXPECT_EQ(panel->speedText(), "0.25×");
    EXPECT_DOUBLE_EQ(model->speedMultiplier(), 0.25);
    panel->speedSlider()->setValue(panel->speedSlider()->maximum());
    EXPECT_EQ(panel->speedText(), "2.50×");
    EXPECT_DOUBLE_EQ(model->speedMultiplier(), 2.5);
}

TEST(TrayIcons, EachSymbolDrawsItsOwnShapeAtEverySize) {
    for (const int size : {16, 22, 32}) {
        const QImage warning = trayPixmap("exclamationmark.triangle", size).toImage();
        const QImage active = trayPixmap("rectangle.and.hand.point.up.left.fill", size).toImage();
        const QImage idle = trayPixmap("rectangle.dashed", size).toImage();
        EXPECT_EQ(warning.size(), QSize(size, size));
        EXPECT_NE(warning, active);
        EXPECT_NE(active, idle);
        // The idle pad is an outline: its middle stays see-through; the active one is filled.
        const QPoint middle(size * 3 / 4, size / 2);
        EXPECT_EQ(qAlpha(idle.pixel(middle)), 0) << size;
        EXPECT_GT(qAlpha(active.pixel(middle)), 200) << size;
    }
}

} // namespace
} // namespace ravnix::test
