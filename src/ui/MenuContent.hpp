#pragma once
// The tray panel: status header, paired devices, pointer speed or the permission request,
// the guide button, the developer group and the footer. Everything shown is read from the
// model and re-read on each of its change notifications; the only state of its own is
// whether the developer group is open.

#include "app/MacModel.hpp"

#include <QWidget>
#include <functional>
#include <memory>
#include <string>

class QLabel;
class QSlider;
class QCheckBox;
class QPushButton;
class QToolButton;
class QVBoxLayout;

namespace ravnix {

class MenuContent : public QWidget {
    Q_OBJECT
  public:
    struct Actions {
        std::function<void()> showGuide;      // after "dugme: kilavuz" is logged
        std::function<void()> showOnboarding; // after "dugme: kurulum" is logged
        std::function<void()> quit;
        // The developer section's "Bağlantıyı denetle" (shown only when set): the connection
        // doctor, whose result opens in a window.
        std::function<void()> checkConnection;
    };

    static constexpr int panelWidth = 300;

    // `versionLabel`: "v" + version + " (" + build + ")".
    MenuContent(std::shared_ptr<MacModel> model, Actions actions, QString versionLabel,
                QWidget* parent = nullptr);
    ~MenuContent() override;

    // Re-reads everything from the model (also called on every notification).
    void render();

    // The event backend and why it was chosen, shown in the permission block.
    void setEventsDescription(const QString& text);
    QString eventsDescription() const;

    // For tests: the texts as shown and the controls.
    QString headerLine() const;
    QColor dotColour() const;
    QStringList deviceLines() const; // "name|state" per row
    QStringList statisticLines() const;
    QString recordingText() const;
    QString speedText() const;
    bool isPermissionBlockShown() const;
    bool isDevicesBlockShown() const;
    QSlider* speedSlider() const { return slider; }
    QCheckBox* recordingSwitch() const { return recording; }
    QToolButton* developerToggle() const { return developerButton; }
    // The "Kaldır" button of row `index` (0-based), or null.
    QPushButton* removeButton(int index) const;
    QPushButton* guideButton() const { return guide; }
    QPushButton* setupButton() const { return setup; }
    QPushButton* quitButton() const { return quitter; }
    // Null when no doctor was given.
    QPushButton* checkConnectionButton() const { return checkConnection; }

    // Slider positions: thousandths of the factor.
    static int sliderPosition(double factor);
    static double factorAt(int position);

  private:
    void renderDevices();
    void renderDeveloper();

    std::shared_ptr<MacModel> model;
    Actions actions;
    int subscription = 0;

    QLabel* dot = nullptr;
    QLabel* status = nullptr;
    QWidget* devicesBlock = nullptr;
    QLabel* storageLine = nullptr;
    QLabel* emptyLine = nullptr;
    QVBoxLayout* rows = nullptr;
    QWidget* speedBlock = nullptr;
    QLabel* speedValue = nullptr;
    QSlider* slider = nullptr;
    QWidget* permissionBlock = nullptr;
    QLabel* eventsLine = nullptr;
    QPushButton* guide = nullptr;
    QToolButton* developerButton = nullptr;
    QWidget* developerBlock = nullptr;
    QCheckBox* recording = nullptr;
    QLabel* recordingState = nullptr;
    QVBoxLayout* statistics = nullptr;
    QPushButton* setup = nullptr;
    QPushButton* quitter = nullptr;
    QPushButton* checkConnection = nullptr;

    // What the device rows were built from, so that the stats of every second do not
    // rebuild them.
    std::vector<PairingRecord> shownDevices;
    QString shownLinkState;
    QColor colour;
};

} // namespace ravnix
