#pragma once
// The engine under DispatchQueue and AsioMainQueue: an io_context that runs immediate work,
// and one ordered schedule of delayed work served by one timer. Platform-internal: network
// services that want Asio I/O objects on a queue take context() from here; such objects
// must be destroyed before the queue.

#include "platform/SerialQueue.hpp"
#include "platform/detail/DelayedWork.hpp"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

namespace ravnix::detail {

class AsioLoop {
  public:
    using Clock = SerialQueue::Clock;
    using Task = SerialQueue::Task;

    AsioLoop();
    // The owner calls discardPending() first.
    ~AsioLoop();
    AsioLoop(const AsioLoop&) = delete;
    AsioLoop& operator=(const AsioLoop&) = delete;

    asio::io_context& context() noexcept { return io; }

    void async(Task task);
    void schedule(Clock::time_point deadline, Task task);
    RepeatingTimer repeating(Clock::duration interval, Task action);

    // Runs work on the calling thread until stop() or close().
    void run();
    // The same for at most `limit`; true when stop() or close() ended it.
    bool runFor(Clock::duration limit);
    // Any thread: the run in progress returns after the work in progress; work not yet run
    // stays queued. With no run in progress, the next run returns at once.
    void stop();
    // Any thread, once: refuses all work from now on and stops the loop for good.
    void close();
    // After close(), once no thread runs the loop any more: destroys everything still pending
    // on the calling thread without running it. Work that those destructors submit is refused.
    // Owners call it while they are still whole, since such destructors may call back into them.
    void discardPending();

  private:
    using Key = detail::DelayedKey;
    using Entry = detail::DelayedEntry;
    enum class Phase { open, closed };

    // Needs scheduleLock; true when the timer must be re-armed for an earlier deadline.
    bool isOpen();
    bool insertLocked(Clock::time_point due, Entry entry);
    // Loop thread only.
    void armTimer();
    void onTimer();
    void finishRun();

    // Declared before io: destroying io destroys queued handlers, and their captures may try
    // to submit work, which must find the loop closed.
    std::mutex scheduleLock; // guards phase, delayed, nextOrder and armedFor
    Phase phase = Phase::open;
    std::map<Key, Entry> delayed;
    std::uint64_t nextOrder = 0;
    std::optional<Clock::time_point> armedFor; // deadline the timer waits for (or will)

    asio::io_context io;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> keepRunning;
    asio::steady_timer wakeUp; // loop thread only
};

} // namespace ravnix::detail
