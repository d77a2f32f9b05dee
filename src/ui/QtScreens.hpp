#pragma once
// The screens as Qt knows them, for an event backend that cannot read them itself: geometries
// in Qt's global space (top-left origin, y downwards, logical pixels), the primary screen first.
//
// Main thread only.

#include "platform/events/EventSystem.hpp"

#include <QObject>
#include <functional>
#include <vector>

namespace ravnix {

std::vector<Rect> qtScreenFrames();

// Calls `changed` with the frames now, and again whenever a screen is added or removed, the
// primary one changes or a screen's geometry changes, for as long as `context` lives.
void followQtScreens(QObject* context, std::function<void(const std::vector<Rect>&)> changed);

} // namespace ravnix
