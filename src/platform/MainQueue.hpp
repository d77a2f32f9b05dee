#pragma once
// The main thread as a serial queue: the application model, the windows and their timers
// live here. The desktop shell runs it in the toolkit's event loop; the headless shell and
// the tests use AsioMainQueue.

#include "platform/SerialQueue.hpp"

namespace ravnix {

class MainQueue : public SerialQueue {
  public:
    // The main thread only. Runs the queue's work until stop().
    virtual void run() = 0;
    // Any thread. run() returns after the work in progress; work not yet run stays queued.
    // Called while run() is not in progress, it makes the next run() return at once.
    virtual void stop() = 0;
};

} // namespace ravnix
