#pragma once
// The delayed-work table of a serial queue's engine (the Asio loop, the Qt main queue):
// entries ordered by deadline, then by submission.

#include "platform/SerialQueue.hpp"

#include <cstdint>
#include <memory>

namespace ravnix::detail {

struct DelayedKey {
    SerialQueue::Clock::time_point due;
    std::uint64_t order = 0;
    auto operator<=>(const DelayedKey&) const = default;
};

// One of the two is set: a one-shot task, or a repeating timer that is rescheduled after each
// firing.
struct DelayedEntry {
    SerialQueue::Task task;
    std::shared_ptr<RepeatingTimer::State> timer;
};

} // namespace ravnix::detail
