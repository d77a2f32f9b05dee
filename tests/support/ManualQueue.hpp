#pragma once
// A serial queue driven by the test, to stand in for the main queue. Work posted from any
// thread runs on the test's thread inside runUntil(); delayed work and repeating timers run
// only when advance() moves the queue's own time past them. A test then proves the order of
// events (nothing at 999 ms, the poll at 1 s) rather than the machine's speed.

#include "platform/SerialQueue.hpp"
#include "platform/detail/RepeatingTimerState.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace ravnix::test {

class ManualQueue final : public SerialQueue {
  public:
    void async(Task task) override {
        std::lock_guard lock(workLock);
        ready.push_back(std::move(task));
        posted.notify_all();
    }
    [[nodiscard]] RepeatingTimer repeating(Clock::duration interval, Task action) override {
        auto state = std::make_shared<RepeatingTimer::State>(interval, std::move(action));
        std::lock_guard lock(workLock);
        timed.push_back({now + state->interval, order++, state, {}});
        return RepeatingTimer(state);
    }
    bool isCurrent() const noexcept override { return std::this_thread::get_id() == owner; }

    // Runs posted work as it comes until `done` holds (which other threads may also bring
    // about); false when `limit` of real time passed first: a bound, not a measurement.
    template <class Predicate>
    bool runUntil(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = Clock::now() + limit;
        while (!done()) {
            if (Clock::now() >= deadline) {
                return false;
            }
            std::unique_lock lock(workLock);
            posted.wait_until(lock, std::min(deadline, Clock::now() + std::chrono::milliseconds(2)),
                              [&] { return !ready.empty(); });
            runReady(lock);
        }
        return true;
    }

    // Moves the queue's time on by `by`, running what is posted and, in time order, every
    // delayed task and timer tick that falls due on the way.
    void advance(Clock::duration by) {
        std::unique_lock lock(workLock);
        const Clock::duration target = now + by;
        for (;;) {
            runReady(lock);
            auto next =
                std::min_element(timed.begin(), timed.end(), [](const auto& a, const auto& b) {
                    return a.due != b.due ? a.due < b.due : a.order < b.order;
                });
            if (next == timed.end() || next->due > target) {
                now = target;
                return;
            }
            now = next->due;
            Timed item = std::move(*next);
            timed.erase(next);
            lock.unlock();
            const bool again = item.timer ? item.timer->fire() : (item.task(), false);
            lock.lock();
            if (again) {
                item.due += item.timer->interval;
                timed.push_back(std::move(item));
            }
        }
    }

  protected:
    // Delays are taken from the real clock at the call and then counted on the queue's time.
    void schedule(Clock::time_point deadline, Task task) override {
        const auto delay = std::max(Clock::duration::zero(), deadline - Clock::now());
        std::lock_guard lock(workLock);
        timed.push_back({now + delay, order++, nullptr, std::move(task)});
    }

  private:
    struct Timed {
        Clock::duration due;
        std::uint64_t order;
        std::shared_ptr<RepeatingTimer::State> timer; // or a one-off task
        Task task;
    };

    void runReady(std::unique_lock<std::mutex>& lock) {
        while (!ready.empty()) {
            auto batch = std::exchange(ready, {});
            lock.unlock();
            for (auto& task : batch) {
                task();
            }
            lock.lock();
        }
    }

    const std::thread::id owner = std::this_thread::get_id();
    std::mutex workLock; // guards everything below
    std::condition_variable posted;
    std::vector<Task> ready;
    std::vector<Timed> timed;
    Clock::duration now{};
    std::uint64_t order = 0;
};

} // namespace ravnix::test
