#pragma once
// The queue a network object runs on, chosen when it starts. Work submitted before that waits
// and then runs, in submission order, ahead of the start itself.

#include "platform/DispatchQueue.hpp"

#include <mutex>
#include <vector>

namespace ravnix::detail {

class QueueBinding {
  public:
    using Task = SerialQueue::Task;

    // Any thread. After abandon() the task is dropped.
    void post(Task task) {
        DispatchQueue* target = nullptr;
        {
            std::lock_guard lock(lock_);
            if (queue_ == nullptr) {
                if (!isAbandoned_) {
                    waiting_.push_back(std::move(task));
                    return;
                }
            } else {
                target = queue_;
            }
        }
        if (target != nullptr) {
            target->async(std::move(task));
        }
        // else the task is destroyed here, outside the lock
    }

    // Any thread. Before bind: drops the waiting work (it may hold the owner, which would then
    // never go) and everything posted later, and returns true. After bind: returns false.
    bool abandon() {
        std::vector<Task> doomed;
        {
            std::lock_guard lock(lock_);
            if (queue_ != nullptr) {
                return false;
            }
            isAbandoned_ = true;
            doomed.swap(waiting_);
        }
        return true; // doomed is destroyed outside the lock
    }

    // Any thread, by an owner that holds itself alive. The first call binds and queues the
    // waiting work, then `start`; later calls do nothing and return false.
    bool bind(DispatchQueue& queue, Task start) {
        std::vector<Task> earlier;
        std::lock_guard lock(lock_);
        if (queue_ != nullptr || isAbandoned_) {
            return false;
        }
        queue_ = &queue;
        earlier.swap(waiting_);
        // Queued under the lock so that nothing posted afterwards can overtake them.
        for (auto& task : earlier) {
            queue.async(std::move(task));
        }
        queue.async(std::move(start));
        return true;
    }

    // After bind, on the bound queue (the pointer is written once, before any work runs).
    DispatchQueue& queue() const noexcept { return *queue_; }

  private:
    mutable std::mutex lock_; // guards queue_ (written once), isAbandoned_ and waiting_
    DispatchQueue* queue_ = nullptr;
    bool isAbandoned_ = false;
    std::vector<Task> waiting_;
};

} // namespace ravnix::detail
