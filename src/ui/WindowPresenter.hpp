#pragma once
// Brings a window of the tray application to the front. A tray application is rarely the
// active one when its window opens, so showing alone may leave the window behind others:
// the window is shown at once, then raised, activated and held above the others for a moment
// before it drops back to the normal stacking level. Two lines go to the application log per
// presentation: the request at once, the outcome once the window has settled.
//
// Main thread only.

#include <QWidget>
#include <chrono>
#include <functional>
#include <string>

namespace ravnix {

// Where the presenter and the windows write their lines (the application log's line()).
using LogFunction = std::function<void(const std::string&)>;

namespace presentation {
// From the request to raising the window: lets the tray's panel close and hand back focus.
inline constexpr std::chrono::milliseconds raiseDelay{120};
// From raising to the normal level again and the outcome line.
inline constexpr std::chrono::milliseconds settleDelay{100};
} // namespace presentation

// Returns at once; the delayed steps skip a window that was hidden or destroyed meanwhile
// (it is not shown again) and still write the outcome line.
void presentWindow(QWidget& window, const std::string& tag, LogFunction log);

// "sonuc: <tag> gorunur=… anahtar=… aktif=… cerceve=<W>x<H>" for `window` as it is now
// (null: gone, reported invisible with an empty frame).
std::string presentationOutcome(const QWidget* window, const std::string& tag);

} // namespace ravnix
