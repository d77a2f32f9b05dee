#include "ui/WindowPresenter.hpp"

#include <QApplication>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QWindow>
#include <cassert>

namespace ravnix {

namespace {

const char* yesNo(bool value) {
    return value ? "true" : "false";
}

// Changes only the stacking hint. QWidget::setWindowFlags() would re-create the native
// window and hide it; the window handle takes the new flags in place.
void setStaysOnTop(QWidget& window, bool onTop) {
    const Qt::WindowFlags flags = window.windowFlags();
    const Qt::WindowFlags wanted = onTop ? flags | Qt::WindowStaysOnTopHint
                                         : flags & ~Qt::WindowFlags(Qt::WindowStaysOnTopHint);
    if (wanted == flags) {
        return;
    }
    window.overrideWindowFlags(wanted);
    if (QWindow* handle = window.windowHandle()) {
        handle->setFlags(wanted);
    }
}

} // namespace

std::string presentationOutcome(const QWidget* window, const std::string& tag) {
    const bool visible = window != nullptr && window->isVisible();
    const bool key = window != nullptr && window->isActiveWindow();
    const bool active = QGuiApplication::applicationState() == Qt::ApplicationActive;
    // The frame includes the title bar where the window manager draws one.
    const QRect frame = window != nullptr ? window->frameGeometry() : QRect();
    return "sonuc: " + tag + " gorunur=" + yesNo(visible) + " anahtar=" + yesNo(key) +
           " aktif=" + yesNo(active) + " cerceve=" + std::to_string(frame.width()) + "x" +
           std::to_string(frame.height());
}

namespace {

// Back to the normal stacking level, to the front once more, and the outcome line.
void settle(const QPointer<QWidget>& target, const std::string& tag, const LogFunction& log,
            bool raisedAbove) {
    if (target && raisedAbove) {
        setStaysOnTop(*target, false);
    }
    if (target && target->isVisible()) {
        target->raise();
    }
    if (log) {
        log(presentationOutcome(target.data(), tag));
    }
}

// Above everything for the moment, to the front, and focused.
void bringForward(QPointer<QWidget> target, std::string tag, LogFunction log) {
    bool raisedAbove = false;
    if (target && target->isVisible()) {
        // A window that asked to stay on top keeps that afterwards.
        raisedAbove = !target->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
        setStaysOnTop(*target, true);
        target->raise();
        target->activateWindow();
    }
    QTimer::singleShot(presentation::settleDelay, Qt::PreciseTimer, QCoreApplication::instance(),
                       [target, tag = std::move(tag), log = std::move(log), raisedAbove] {
                           settle(target, tag, log, raisedAbove);
                       });
}

} // namespace

void presentWindow(QWidget& window, const std::string& tag, LogFunction log) {
    assert(QCoreApplication::instance() != nullptr &&
           QThread::currentThread() == QCoreApplication::instance()->thread() &&
           "windows are presented on the main thread");
    if (log) {
        log("gosterim istendi: " + tag);
    }
    window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
    window.show();
    // The delayed steps hang on the application, not on the window, so the outcome line is
    // written even when the window is gone by then.
    QTimer::singleShot(presentation::raiseDelay, Qt::PreciseTimer, QCoreApplication::instance(),
                       [target = QPointer<QWidget>(&window), tag, log = std::move(log)] {
                           bringForward(target, tag, log);
                       });
}

} // namespace ravnix
