#pragma once
// The main queue without a toolkit: an event loop on the thread that creates it.

#include "platform/MainQueue.hpp"

#include <memory>
#include <thread>

namespace ravnix {

namespace detail {
class AsioLoop;
}

class AsioMainQueue final : public MainQueue {
  public:
    // The creating thread becomes the queue's thread: only it may run the queue.
    AsioMainQueue();
    // The queue's thread, while no run is in progress. Drops everything not yet run.
    ~AsioMainQueue() override;
    AsioMainQueue(const AsioMainQueue&) = delete;
    AsioMainQueue& operator=(const AsioMainQueue&) = delete;

    void async(Task task) override;
    [[nodiscard]] RepeatingTimer repeating(Clock::duration interval, Task action) override;
    // True on the creating thread, whether or not a run is in progress.
    bool isCurrent() const noexcept override;

    // Called from another thread than the creating one, run() and runFor() run nothing and
    // return at once (runFor() with false).
    void run() override;
    void stop() override;
    // Runs for at most `limit` (meant for tests); true when stop() ended the run.
    bool runFor(Clock::duration limit);

    // Platform-internal: the engine, for Asio I/O objects that run on this queue.
    detail::AsioLoop& engine() noexcept { return *loop_; }

  protected:
    void schedule(Clock::time_point deadline, Task task) override;

  private:
    std::unique_ptr<detail::AsioLoop> loop_;
    const std::thread::id owner_;
};

} // namespace ravnix
