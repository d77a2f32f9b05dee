#pragma once
// The desktop application around the model: the tray icon that follows the model's symbol,
// the panel it opens, what happens at launch and when the user opens the program again.
// Without a system tray the panel is an ordinary window, opened at launch and on reopen. Where
// a window cannot place itself (Wayland), the panel that the tray opens is an ordinary window
// too, placed by the compositor, instead of a popup put beside the icon.
//
// Main thread only.

#include "app/MacModel.hpp"
#include "ui/MenuContent.hpp"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class QSystemTrayIcon;

namespace ravnix {

class DesktopShell : public QObject {
    Q_OBJECT
  public:
    struct Parts {
        std::shared_ptr<MacModel> model;
        std::shared_ptr<OnboardingWindowController> onboarding;
        std::shared_ptr<GestureGuideWindowController> guide;
        QString versionLabel;       // "v" + version + " (" + build + ")"
        std::function<void()> quit; // the panel's "Çık"
        bool useTray = true;        // false when the desktop has no tray
        // False on Wayland: global coordinates mean nothing to the compositor.
        bool canPlaceWindows = true;
        // The event backend and why it was chosen, for the panel's permission block.
        QString eventsDescription;
        // The panel's "Bağlantıyı denetle"; none: no such action.
        std::function<void()> checkConnection;
    };

    explicit DesktopShell(Parts parts);
    ~DesktopShell() override;

    // Launch finished: the onboarding window when the input permission is missing right now
    // (`trustedNow`, asked of the system itself); without a tray, the panel.
    void launched(bool trustedNow);
    // The program was started again while running.
    void reopen();
    // Opens the panel (near the tray icon when there is one) or closes it when open.
    void togglePanel();

    MenuContent& panel() const { return *panel_; }
    QSystemTrayIcon* tray() const { return tray_; }
    // The symbol the tray icon shows now.
    const std::string& shownSymbol() const { return symbol; }

  private:
    void renderTray();
    void showPanel();

    Parts parts;
    std::unique_ptr<MenuContent> panel_;
    QSystemTrayIcon* tray_ = nullptr;
    std::string symbol;
    int subscription = 0;
};

} // namespace ravnix
