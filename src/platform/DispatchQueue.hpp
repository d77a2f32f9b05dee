#pragma once
// A serial queue with its own named thread, for work that must not wait for the main thread:
// delayed button releases, a listener's connections.

#include "platform/PlatformError.hpp"
#include "platform/SerialQueue.hpp"

#include <chrono>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace ravnix {

namespace detail {
class AsioLoop;
}

class DispatchQueue final : public SerialQueue {
  public:
    // Starts the thread. `label` is kept whole (e.g. "com.belvor.ravnix.release"); the thread's
    // OS name is threadNameForLabel(label). Fails only when no thread can be started.
    static std::expected<std::unique_ptr<DispatchQueue>, PlatformError> create(std::string label);

    // Any thread but the queue's own (that would have to join itself: the process aborts).
    // Waits for the task in progress, drops everything not yet run (destroying it on the
    // calling thread) and joins the thread. Work submitted meanwhile is dropped.
    ~DispatchQueue() override;
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    const std::string& label() const noexcept { return label_; }

    void async(Task task) override;
    [[nodiscard]] RepeatingTimer repeating(Clock::duration interval, Task action) override;
    bool isCurrent() const noexcept override;

    // Platform-internal: the engine, for Asio I/O objects that run on this queue.
    detail::AsioLoop& engine() noexcept { return *loop_; }

  protected:
    void schedule(Clock::time_point deadline, Task task) override;

  private:
    explicit DispatchQueue(std::string label);

    std::string label_;
    std::unique_ptr<detail::AsioLoop> loop_;
    std::thread thread_;
};

// Lets work already posted to `queue` (cancellations and the completions they cause) run
// before the queue goes away: two turns, each bounded by `limitPerTurn`. Not from the queue.
void drainQueue(DispatchQueue& queue,
                std::chrono::milliseconds limitPerTurn = std::chrono::milliseconds(2000));

// Linux keeps at most 15 characters of a thread name, so a label is shortened to its tail: the
// longest run of whole dot-separated parts that fits ("com.belvor.ravnix.link" →
// "ravnix.link"), or the last 15 characters of the last part when that alone is too long.
std::string threadNameForLabel(std::string_view label);

} // namespace ravnix
