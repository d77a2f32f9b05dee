#include "platform/AsioMainQueue.hpp"

#include "platform/detail/AsioLoop.hpp"

#include <cassert>

namespace ravnix {

AsioMainQueue::AsioMainQueue()
    : loop_(std::make_unique<detail::AsioLoop>()), owner_(std::this_thread::get_id()) {}

AsioMainQueue::~AsioMainQueue() {
    loop_->discardPending();
}

void AsioMainQueue::async(Task task) {
    loop_->async(std::move(task));
}

void AsioMainQueue::schedule(Clock::time_point deadline, Task task) {
    loop_->schedule(deadline, std::move(task));
}

RepeatingTimer AsioMainQueue::repeating(Clock::duration interval, Task action) {
    return loop_->repeating(interval, std::move(action));
}

bool AsioMainQueue::isCurrent() const noexcept {
    return std::this_thread::get_id() == owner_;
}

void AsioMainQueue::run() {
    assert(isCurrent() && "the main queue runs on the thread that created it");
    if (isCurrent()) {
        loop_->run();
    }
}

void AsioMainQueue::stop() {
    loop_->stop();
}

bool AsioMainQueue::runFor(Clock::duration limit) {
    assert(isCurrent() && "the main queue runs on the thread that created it");
    return isCurrent() && loop_->runFor(limit);
}

} // namespace ravnix
