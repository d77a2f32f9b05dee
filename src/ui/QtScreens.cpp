#include "ui/QtScreens.hpp"

#include <QGuiApplication>
#include <QScreen>
#include <memory>

namespace ravnix {

std::vector<Rect> qtScreenFrames() {
    std::vector<Rect> frames;
    const QScreen* primary = QGuiApplication::primaryScreen();
    auto add = [&frames](const QScreen* screen) {
        const QRect g = screen->geometry();
        frames.push_back(Rect{static_cast<double>(g.x()), static_cast<double>(g.y()),
                              static_cast<double>(g.width()), static_cast<double>(g.height())});
    };
    if (primary != nullptr) {
        add(primary);
    }
    for (const QScreen* screen : QGuiApplication::screens()) {
        if (screen != primary) {
            add(screen);
        }
    }
    return frames;
}

void followQtScreens(QObject* context, std::function<void(const std::vector<Rect>&)> changed) {
    auto report = std::make_shared<std::function<void()>>(
        [changed = std::move(changed)] { changed(qtScreenFrames()); });
    auto watch = [context, report](QScreen* screen) {
        QObject::connect(screen, &QScreen::geometryChanged, context, [report] { (*report)(); });
    };
    for (QScreen* screen : QGuiApplication::screens()) {
        watch(screen);
    }
    auto* application = qGuiApp;
    QObject::connect(application, &QGuiApplication::screenAdded, context,
                     [report, watch](QScreen* screen) {
                         watch(screen);
                         (*report)();
                     });
    QObject::connect(application, &QGuiApplication::screenRemoved, context,
                     [report] { (*report)(); });
    QObject::connect(application, &QGuiApplication::primaryScreenChanged, context,
                     [report] { (*report)(); });
    (*report)();
}

} // namespace ravnix
