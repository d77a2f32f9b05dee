#pragma once
// Serial work queues: everything submitted to one queue runs on one thread, one item at a
// time, in the order described below. DispatchQueue owns its thread; MainQueue is the thread
// that runs the user interface (or the headless loop).

#include <chrono>
#include <functional>
#include <memory>

namespace ravnix {

// The handle of a repeating timer. Move-only; destroying or reassigning it cancels the timer.
// A default-constructed handle holds no timer.
class RepeatingTimer {
  public:
    struct State; // shared with the queue that fires it

    RepeatingTimer() noexcept = default;
    explicit RepeatingTimer(std::shared_ptr<State> state) noexcept : state_(std::move(state)) {}
    ~RepeatingTimer() { cancel(); }
    RepeatingTimer(RepeatingTimer&&) noexcept = default;
    RepeatingTimer& operator=(RepeatingTimer&& other) noexcept;
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;

    // Any thread. When cancel() returns, the action is not running, will never run again and
    // has been destroyed — except when called from inside the action itself: that run then
    // finishes and the action is destroyed as it returns. Called from another thread while
    // the action runs, cancel() waits for it, so the action must not wait for that thread.
    void cancel() noexcept;
    // True until cancelled. A timer whose queue has gone stays "active" but never fires.
    bool isActive() const noexcept;

  private:
    std::shared_ptr<State> state_;
};

class SerialQueue {
  public:
    using Task = std::move_only_function<void()>;
    using Clock = std::chrono::steady_clock;

    virtual ~SerialQueue() = default;

    // Any thread. Runs `task` on the queue after the work submitted with async() before it.
    // Work submitted while the queue is shutting down is dropped (destroyed, not run).
    // A task must not throw: an escaping exception ends the process.
    virtual void async(Task task) = 0;

    // Any thread. Runs `task` on the queue at `deadline` or later, never earlier. Delayed work
    // runs in deadline order, and work with equal deadlines in submission order. A deadline
    // already past means "soon", not "before work submitted with async() afterwards".
    void asyncAfter(Clock::time_point deadline, Task task) { schedule(deadline, std::move(task)); }
    // The same with a delay from now (any duration type; rounded up to the clock's tick).
    template <class Rep, class Period>
    void asyncAfter(std::chrono::duration<Rep, Period> delay, Task task) {
        schedule(Clock::now() + std::chrono::ceil<Clock::duration>(delay), std::move(task));
    }

    // Any thread. Runs `action` on the queue every `interval` (at least 1 ms), first one
    // interval from now, until the returned handle cancels it. Firings missed because the
    // queue was busy are skipped; the timer keeps its phase.
    [[nodiscard]] virtual RepeatingTimer repeating(Clock::duration interval, Task action) = 0;

    // True when called by work running on this queue.
    virtual bool isCurrent() const noexcept = 0;

  protected:
    virtual void schedule(Clock::time_point deadline, Task task) = 0;
};

} // namespace ravnix
