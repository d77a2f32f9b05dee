#pragma once
// What a RepeatingTimer handle and the queue that fires it share. Platform-internal.

#include "platform/SerialQueue.hpp"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace ravnix {

struct RepeatingTimer::State {
    State(SerialQueue::Clock::duration interval, SerialQueue::Task action);

    const SerialQueue::Clock::duration interval;

    // Queue thread: runs the action unless cancelled. False once the timer is cancelled, so
    // the queue stops rescheduling it.
    bool fire();
    void cancel() noexcept;
    bool isActive() const noexcept;

  private:
    // cancelling: cancel() came while the action ran; the run finishes, then it is cancelled.
    enum class Phase { idle, running, cancelling, cancelled };

    mutable std::mutex phaseLock; // guards phase, runner and action
    std::condition_variable phaseChanged;
    Phase phase = Phase::idle;
    std::thread::id runner;
    SerialQueue::Task action; // moved out while it runs
};

} // namespace ravnix
