#pragma once
// The main queue of the desktop application: its work runs inside Qt's event loop on the
// thread that created it, so the model, its timers and the widgets share one thread. Any
// Qt event loop on that thread serves it (QApplication::exec(), a dialog's loop, run()).

#include "platform/MainQueue.hpp"

#include <memory>

namespace ravnix {

class QtMainQueue final : public MainQueue {
  public:
    // On the thread of the QApplication, once it exists (the queue's timers need its event
    // dispatcher). That thread becomes the queue's thread.
    QtMainQueue();
    // The queue's thread, outside run(). Work not yet run is destroyed without running;
    // whatever those destructors submit is refused.
    ~QtMainQueue() override;
    QtMainQueue(const QtMainQueue&) = delete;
    QtMainQueue& operator=(const QtMainQueue&) = delete;

    void async(Task task) override;
    [[nodiscard]] RepeatingTimer repeating(Clock::duration interval, Task action) override;
    // True on the creating thread.
    bool isCurrent() const noexcept override;

    // Runs a Qt event loop until stop() or the application quits. Work of the queue also runs
    // in every other event loop of the thread, so a desktop shell may use exec() instead.
    void run() override;
    // Any thread. The run in progress returns after the task in progress; the tasks it has not
    // reached stay queued and run in the next event loop.
    void stop() override;

  protected:
    void schedule(Clock::time_point deadline, Task task) override;

  private:
    class Core;
    std::unique_ptr<Core> core;
};

} // namespace ravnix
