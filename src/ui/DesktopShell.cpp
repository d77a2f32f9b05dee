#include "ui/DesktopShell.hpp"

#include "ui/TrayIcons.hpp"
#include "ui/WindowPresenter.hpp"

#include <QGuiApplication>
#include <QScreen>
#include <QSystemTrayIcon>
#include <algorithm>

namespace ravnix {

DesktopShell::DesktopShell(Parts p) : parts(std::move(p)) {
    MenuContent::Actions actions;
    actions.showGuide = [this] { parts.guide->show(); };
    actions.showOnboarding = [this] { parts.onboarding->show(); };
    actions.quit = [this] {
        if (parts.quit) {
            parts.quit();
        }
    };
    actions.checkConnection = parts.checkConnection;
    panel_ = std::make_unique<MenuContent>(parts.model, std::move(actions), parts.versionLabel);
    panel_->setEventsDescription(parts.eventsDescription);
    if (parts.useTray && parts.canPlaceWindows) {
        // A popup closes itself when the user clicks elsewhere, as a tray panel should.
        panel_->setWindowFlags(Qt::Popup | Qt::FramelessWindowHint);
    } else {
        panel_->setWindowFlags(Qt::Window);
        panel_->setWindowTitle(QStringLiteral("Ravnix"));
    }
    if (parts.useTray) {
        tray_ = new QSystemTrayIcon(this);
        connect(tray_, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context) {
                        togglePanel();
                    }
                });
    }
    subscription = parts.model->subscribe([this](MacModel::Field) { renderTray(); });
    renderTray();
    if (tray_) {
        tray_->show();
    }
}

DesktopShell::~DesktopShell() {
    parts.model->unsubscribe(subscription);
}

void DesktopShell::renderTray() {
    const std::string now = parts.model->menuBarSymbol();
    if (tray_) {
        if (now != symbol) {
            tray_->setIcon(trayIcon(now));
        }
        tray_->setToolTip(QStringLiteral("Ravnix — ") +
                          QString::fromStdString(parts.model->headerText()));
    }
    symbol = now;
}

void DesktopShell::launched(bool trustedNow) {
    if (!trustedNow) {
        parts.onboarding->show();
    }
    if (!tray_) {
        showPanel();
    }
}

void DesktopShell::reopen() {
    if (!parts.model->isTrusted()) {
        parts.model->logLine("dugme: kurulum");
        parts.onboarding->show();
    } else {
        parts.model->logLine("dugme: kilavuz");
        parts.guide->show();
    }
    if (!tray_) {
        showPanel();
    }
}

void DesktopShell::togglePanel() {
    if (panel_->isVisible()) {
        panel_->hide();
        return;
    }
    showPanel();
}

void DesktopShell::showPanel() {
    panel_->render();
    panel_->adjustSize();
    if (tray_ && parts.canPlaceWindows) {
        // Below the icon for a top panel, above it for a bottom one, inside the screen.
        const QRect icon = tray_->geometry();
        QScreen* screen = icon.isValid() ? QGuiApplication::screenAt(icon.center()) : nullptr;
        if (screen == nullptr) {
            screen = QGuiApplication::primaryScreen();
        }
        const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1280, 800);
        const QSize size = panel_->sizeHint().expandedTo(panel_->size());
        QPoint at = icon.isValid() ? QPoint(icon.center().x() - size.width() / 2, icon.bottom() + 4)
                                   : QPoint(area.right() - size.width(), area.top());
        if (icon.isValid() && icon.center().y() > area.center().y()) {
            at.setY(icon.top() - size.height() - 4);
        }
        at.setX(
            std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - size.width())));
        at.setY(
            std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() - size.height())));
        panel_->move(at);
        panel_->show();
        panel_->raise();
        panel_->activateWindow();
        return;
    }
    // An ordinary window, placed by the window manager or compositor.
    presentWindow(*panel_, "panel",
                  [model = std::weak_ptr<MacModel>(parts.model)](const std::string& line) {
                      if (auto m = model.lock()) {
                          m->logLine(line);
                      }
                  });
}

} // namespace ravnix
