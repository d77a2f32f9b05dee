#include "ui/GestureGuideWindow.hpp"

#include "guide/GuideCatalog.hpp"
#include "ui/GuideMainArea.hpp"
#include "ui/GuideSidebar.hpp"

#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QScreen>

namespace ravnix {

GestureGuideWindow::GestureGuideWindow(ClockFunction clockFunction, QWidget* parent)
    : QWidget(parent, Qt::Window),
      clock(clockFunction ? std::move(clockFunction) : ClockFunction(&Clock::now)),
      playback(clock()) {
    setWindowTitle(QStringLiteral("Ravnix — Dokunma Kılavuzu"));
    setMinimumSize(minimumWidth, minimumHeight);
    resize(defaultWidth, defaultHeight);
    // The guide is one of several windows of a tray application: closing it must neither
    // destroy its state nor end the application.
    setAttribute(Qt::WA_DeleteOnClose, false);
    setAttribute(Qt::WA_QuitOnClose, false);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    side = new GuideSidebar(gestureCatalog(), this);
    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::VLine);
    divider->setFrameShadow(QFrame::Plain);
    divider->setFixedWidth(1);
    divider->setForegroundRole(QPalette::Mid);
    main = new GuideMainArea(this);
    main->setObjectName(QStringLiteral("mainArea"));
    row->addWidget(side);
    row->addWidget(divider);
    row->addWidget(main, 1);

    main->showDemo(playback.demo());
    side->setCurrentDemo(playback.demo().id);

    connect(side, &GuideSidebar::demoChosen, this,
            [this](const QString& id) { select(id.toStdString()); });
    connect(main, &GuideMainArea::slowToggled, this, [this](bool slow) { setSlow(slow); });
    connect(main, &GuideMainArea::restartRequested, this, [this] { restart(); });

    frameTimer.setTimerType(Qt::PreciseTimer);
    frameTimer.setInterval(frameIntervalMs);
    connect(&frameTimer, &QTimer::timeout, this, [this] { advanceFrame(); });

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        move(available.center() - QPoint(defaultWidth / 2, defaultHeight / 2));
    }
    advanceFrame();
}

GestureGuideWindow::~GestureGuideWindow() = default;

void GestureGuideWindow::present() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

double GestureGuideWindow::playbackTime() const {
    return playback.time(clock());
}

void GestureGuideWindow::select(std::string_view id) {
    if (id == playback.selection()) {
        return;
    }
    playback.select(id, clock());
    main->showDemo(playback.demo());
    // An id without a demonstration plays the first one, so its row is the one marked.
    side->setCurrentDemo(playback.demo().id);
    advanceFrame();
}

void GestureGuideWindow::setSlow(bool isSlow) {
    playback.setSlow(isSlow, clock());
    main->setSlow(isSlow);
    advanceFrame();
}

void GestureGuideWindow::restart() {
    playback.restart(clock());
    advanceFrame();
}

void GestureGuideWindow::advanceFrame() {
    const Clock::time_point now = clock();
    const double speed = playback.isSlow() ? GuidePlayback::slowSpeed : 1.0;
    main->setFrame(playback.time(now), speed);
}

void GestureGuideWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    advanceFrame();
    frameTimer.start();
}

void GestureGuideWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    frameTimer.stop();
}

} // namespace ravnix
