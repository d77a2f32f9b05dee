#include "platform/detail/AsioLoop.hpp"

#include "platform/detail/RepeatingTimerState.hpp"

#include <asio/post.hpp>
#include <vector>

namespace ravnix::detail {

namespace {
// A task that throws has broken its contract; noexcept turns that into a clean termination
// instead of an exception unwinding through Asio's scheduler.
void invoke(SerialQueue::Task& task) noexcept {
    task();
}
} // namespace

AsioLoop::AsioLoop() : keepRunning(std::in_place, asio::make_work_guard(io)), wakeUp(io) {}

AsioLoop::~AsioLoop() {
    discardPending();
}

void AsioLoop::discardPending() {
    close();
    std::map<Key, Entry> doomed;
    {
        std::lock_guard lock(scheduleLock);
        doomed.swap(delayed);
    }
    doomed.clear(); // outside the lock: destructors may submit work, which is refused
    wakeUp.cancel();
    // The queued handlers find the loop closed and only destroy their tasks.
    io.restart();
    io.poll();
}

bool AsioLoop::isOpen() {
    std::lock_guard lock(scheduleLock);
    return phase == Phase::open;
}

void AsioLoop::async(Task task) {
    Task dropped;
    std::lock_guard lock(scheduleLock);
    if (phase != Phase::open) {
        dropped = std::move(task);
        return;
    }
    // Posting under the lock keeps close() from overtaking a post in progress.
    asio::post(io, [this, task = std::move(task)]() mutable {
        if (isOpen()) {
            invoke(task);
        }
    });
}

bool AsioLoop::insertLocked(Clock::time_point due, Entry entry) {
    delayed.emplace(Key{due, nextOrder++}, std::move(entry));
    if (!armedFor || due < *armedFor) {
        armedFor = due;
        return true;
    }
    return false;
}

void AsioLoop::schedule(Clock::time_point deadline, Task task) {
    Task dropped;
    std::lock_guard lock(scheduleLock);
    if (phase != Phase::open) {
        dropped = std::move(task);
        return;
    }
    if (insertLocked(deadline, Entry{std::move(task), nullptr})) {
        asio::post(io, [this] { armTimer(); });
    }
}

RepeatingTimer AsioLoop::repeating(Clock::duration interval, Task action) {
    auto state = std::make_shared<RepeatingTimer::State>(interval, std::move(action));
    {
        std::lock_guard lock(scheduleLock);
        if (phase == Phase::open) {
            if (insertLocked(Clock::now() + state->interval, Entry{nullptr, state})) {
                asio::post(io, [this] { armTimer(); });
            }
            return RepeatingTimer(std::move(state));
        }
    }
    state->cancel(); // a closed queue never fires it
    return RepeatingTimer{};
}

void AsioLoop::armTimer() {
    Clock::time_point due;
    {
        std::lock_guard lock(scheduleLock);
        if (phase != Phase::open || delayed.empty()) {
            armedFor.reset();
            return;
        }
        due = delayed.begin()->first.due;
        armedFor = due;
    }
    // Re-arming cancels the previous wait; its handler then sees operation_aborted.
    wakeUp.expires_at(due);
    wakeUp.async_wait([this](const std::error_code& error) {
        if (!error) {
            onTimer();
        }
    });
}

void AsioLoop::onTimer() {
    std::vector<std::pair<Key, Entry>> batch;
    {
        std::lock_guard lock(scheduleLock);
        const auto now = Clock::now();
        while (!delayed.empty() && delayed.begin()->first.due <= now) {
            auto node = delayed.extract(delayed.begin());
            batch.emplace_back(node.key(), std::move(node.mapped()));
        }
        armedFor.reset();
    }
    for (std::size_t i = 0; i < batch.size(); ++i) {
        if (io.stopped()) {
            // stop() or close() came from the batch or another thread: what has not run yet
            // keeps its place for the next run (or is dropped when closed).
            std::vector<std::pair<Key, Entry>> rest(std::make_move_iterator(batch.begin() + i),
                                                    std::make_move_iterator(batch.end()));
            batch.clear();
            std::lock_guard lock(scheduleLock);
            if (phase == Phase::open) {
                for (auto& [key, entry] : rest) {
                    delayed.emplace(key, std::move(entry));
                }
                rest.clear();
            } else {
                batch = std::move(rest); // destroyed below, outside the lock
            }
            break;
        }
        auto& [key, entry] = batch[i];
        if (entry.timer) {
            if (entry.timer->fire()) {
                const auto interval = entry.timer->interval;
                auto next = key.due + interval;
                const auto now = Clock::now();
                if (next <= now) {
                    next = key.due + ((now - key.due) / interval + 1) * interval;
                }
                std::lock_guard lock(scheduleLock);
                if (phase == Phase::open) {
                    insertLocked(next, Entry{nullptr, std::move(entry.timer)});
                }
            }
        } else {
            invoke(entry.task);
        }
        entry = Entry{}; // release the captures now, not at the end of the batch
    }
    batch.clear();
    armTimer();
}

void AsioLoop::finishRun() {
    std::lock_guard lock(scheduleLock);
    if (phase == Phase::open && io.stopped()) {
        io.restart();
    }
}

void AsioLoop::run() {
    if (!io.stopped()) {
        io.run();
    }
    finishRun();
}

bool AsioLoop::runFor(Clock::duration limit) {
    bool wasStopped = io.stopped();
    if (!wasStopped) {
        io.run_for(limit);
        wasStopped = io.stopped();
    }
    finishRun();
    return wasStopped;
}

void AsioLoop::stop() {
    io.stop();
}

void AsioLoop::close() {
    {
        std::lock_guard lock(scheduleLock);
        if (phase == Phase::closed) {
            return;
        }
        phase = Phase::closed;
    }
    io.stop();
}

} // namespace ravnix::detail
