#include "platform/SerialQueue.hpp"

#include "platform/detail/RepeatingTimerState.hpp"

#include <algorithm>

namespace ravnix {

namespace {
constexpr SerialQueue::Clock::duration shortestInterval = std::chrono::milliseconds(1);

void invoke(SerialQueue::Task& action) noexcept {
    action();
}
} // namespace

RepeatingTimer::State::State(SerialQueue::Clock::duration interval, SerialQueue::Task action)
    : interval(std::max(interval, shortestInterval)), action(std::move(action)) {}

bool RepeatingTimer::State::fire() {
    SerialQueue::Task running;
    {
        std::lock_guard lock(phaseLock);
        if (phase != Phase::idle) {
            return false;
        }
        phase = Phase::running;
        runner = std::this_thread::get_id();
        running = std::move(action);
    }
    if (running) {
        invoke(running);
    }
    {
        std::lock_guard lock(phaseLock);
        if (phase == Phase::running) {
            action = std::move(running);
            phase = Phase::idle;
            runner = {};
            return true;
        }
    }
    // Cancelled meanwhile: destroy the action before a waiting cancel() may return.
    running = nullptr;
    {
        std::lock_guard lock(phaseLock);
        phase = Phase::cancelled;
        runner = {};
    }
    phaseChanged.notify_all();
    return false;
}

void RepeatingTimer::State::cancel() noexcept {
    SerialQueue::Task doomed; // destroyed after the lock is released
    std::unique_lock lock(phaseLock);
    switch (phase) {
    case Phase::idle:
        phase = Phase::cancelled;
        doomed = std::move(action);
        break;
    case Phase::running:
        phase = Phase::cancelling;
        [[fallthrough]];
    case Phase::cancelling:
        if (runner != std::this_thread::get_id()) {
            phaseChanged.wait(lock, [this] { return phase == Phase::cancelled; });
        }
        break;
    case Phase::cancelled:
        break;
    }
    lock.unlock();
}

bool RepeatingTimer::State::isActive() const noexcept {
    std::lock_guard lock(phaseLock);
    return phase == Phase::idle || phase == Phase::running;
}

RepeatingTimer& RepeatingTimer::operator=(RepeatingTimer&& other) noexcept {
    if (this != &other) {
        cancel();
        state_ = std::move(other.state_);
    }
    return *this;
}

void RepeatingTimer::cancel() noexcept {
    if (state_) {
        state_->cancel();
    }
}

bool RepeatingTimer::isActive() const noexcept {
    return state_ && state_->isActive();
}

} // namespace ravnix
