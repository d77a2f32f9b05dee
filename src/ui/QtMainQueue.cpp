#include "ui/QtMainQueue.hpp"

#include "platform/detail/DelayedWork.hpp"
#include "platform/detail/RepeatingTimerState.hpp"

#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cassert>
#include <climits>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace ravnix {

namespace {
// A task that throws has broken its contract; noexcept ends the process there instead of
// letting the exception unwind through Qt's event dispatch.
void invoke(SerialQueue::Task& task) noexcept {
    task();
}
} // namespace

// Immediate work is a queue of our own, drained by one posted Qt event at a time, so that
// stop() can end a run between two tasks and a task that submits more work does not starve
// the widgets' events. Delayed work is one ordered schedule served by one QTimer, which keeps
// "by deadline, then by submission" exact whatever Qt does with equal timer deadlines.
class QtMainQueue::Core {
  public:
    Core();
    ~Core();
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    void async(Task task);
    void schedule(Clock::time_point due, Task task);
    RepeatingTimer repeating(Clock::duration interval, Task action);
    bool isCurrent() const noexcept { return std::this_thread::get_id() == owner; }
    void run();
    void stop();

  private:
    using Key = detail::DelayedKey;
    using Entry = detail::DelayedEntry;

    // Needs queueLock. Runs `work` in the next event loop iteration of the queue's thread.
    template <typename Work> void postLocked(Work work);
    // Needs queueLock; true when the timer must be re-armed for an earlier deadline.
    bool insertLocked(Clock::time_point due, Entry entry);
    // Needs queueLock: the timer is re-armed at once on the queue's thread, else through a
    // posted event. Returns whether the caller must call armTimer() after unlocking.
    bool requestArmLocked();

    // The queue's thread only.
    void drain();
    void onTimer();
    void armTimer();
    // True when a run in progress must end now: consumes a stop() and quits the run's loop.
    bool shouldPause();
    void resumeAfterRun();

    const std::thread::id owner;

    std::mutex queueLock; // guards everything down to armedFor
    bool isClosed = false;
    std::deque<Task> immediate;
    bool isDrainPosted = false;
    std::map<Key, Entry> delayed;
    std::uint64_t nextOrder = 0;
    std::optional<Clock::time_point> armedFor; // deadline the timer waits for (or will)

    std::atomic<bool> isStopRequested{false};
    QEventLoop* currentRun = nullptr; // the queue's thread only, like isRunEnding
    bool isRunEnding = false;

    std::unique_ptr<QObject> context; // receives the posted events; lives on the owner thread
    QTimer* wakeUp = nullptr;         // child of context
};

QtMainQueue::Core::Core()
    : owner(std::this_thread::get_id()), context(std::make_unique<QObject>()),
      wakeUp(new QTimer(context.get())) {
    wakeUp->setSingleShot(true);
    wakeUp->setTimerType(Qt::PreciseTimer);
    QObject::connect(wakeUp, &QTimer::timeout, context.get(), [this] { onTimer(); });
}

QtMainQueue::Core::~Core() {
    assert(isCurrent() && "the main queue is destroyed on its own thread");
    std::deque<Task> doomedTasks;
    std::map<Key, Entry> doomedDelayed;
    {
        std::lock_guard lock(queueLock);
        isClosed = true;
        doomedTasks.swap(immediate);
        doomedDelayed.swap(delayed);
        armedFor.reset();
    }
    // Outside the lock: these destructors may submit work, which is now refused.
    doomedTasks.clear();
    doomedDelayed.clear();
    wakeUp->stop();
    // Destroying the context removes the events still posted to it; they only point at us.
    context.reset();
}

template <typename Work> void QtMainQueue::Core::postLocked(Work work) {
    QMetaObject::invokeMethod(context.get(), std::move(work), Qt::QueuedConnection);
}

void QtMainQueue::Core::async(Task task) {
    Task refused; // destroyed after the lock is released
    std::lock_guard lock(queueLock);
    if (isClosed) {
        refused = std::move(task);
        return;
    }
    immediate.push_back(std::move(task));
    if (!isDrainPosted) {
        isDrainPosted = true;
        // Posting under the lock keeps the destructor from overtaking a post in progress.
        postLocked([this] { drain(); });
    }
}

bool QtMainQueue::Core::insertLocked(Clock::time_point due, Entry entry) {
    delayed.emplace(Key{due, nextOrder++}, std::move(entry));
    if (!armedFor || due < *armedFor) {
        armedFor = due;
        return true;
    }
    return false;
}

bool QtMainQueue::Core::requestArmLocked() {
    if (isCurrent()) {
        return true;
    }
    postLocked([this] { armTimer(); });
    return false;
}

void QtMainQueue::Core::schedule(Clock::time_point due, Task task) {
    Task refused; // destroyed after the lock is released
    bool armNow = false;
    {
        std::lock_guard lock(queueLock);
        if (isClosed) {
            refused = std::move(task);
        } else if (insertLocked(due, Entry{std::move(task), nullptr})) {
            armNow = requestArmLocked();
        }
    }
    if (armNow) {
        armTimer();
    }
}

RepeatingTimer QtMainQueue::Core::repeating(Clock::duration interval, Task action) {
    auto state = std::make_shared<RepeatingTimer::State>(interval, std::move(action));
    bool armNow = false;
    {
        std::lock_guard lock(queueLock);
        if (isClosed) {
            state->cancel(); // a closed queue never fires it
            return RepeatingTimer{};
        }
        if (insertLocked(Clock::now() + state->interval, Entry{nullptr, state})) {
            armNow = requestArmLocked();
        }
    }
    if (armNow) {
        armTimer();
    }
    return RepeatingTimer(std::move(state));
}

bool QtMainQueue::Core::shouldPause() {
    if (currentRun == nullptr) {
        return false;
    }
    if (isRunEnding) {
        return true;
    }
    if (isStopRequested.exchange(false)) {
        isRunEnding = true;
        currentRun->quit();
        return true;
    }
    return false;
}

void QtMainQueue::Core::drain() {
    // Only what was queued when the drain began: work submitted meanwhile gets a drain of its
    // own, after the events that arrived in between.
    std::size_t budget = 0;
    {
        std::lock_guard lock(queueLock);
        isDrainPosted = false;
        budget = immediate.size();
    }
    for (; budget > 0; --budget) {
        if (shouldPause()) {
            return; // resumeAfterRun() posts the next drain
        }
        Task task;
        {
            std::lock_guard lock(queueLock);
            if (isClosed || immediate.empty()) {
                return;
            }
            task = std::move(immediate.front());
            immediate.pop_front();
        }
        invoke(task);
    }
    std::lock_guard lock(queueLock);
    if (!isClosed && !immediate.empty() && !isDrainPosted) {
        isDrainPosted = true;
        postLocked([this] { drain(); });
    }
}

void QtMainQueue::Core::armTimer() {
    Clock::time_point due;
    {
        std::lock_guard lock(queueLock);
        if (isClosed || delayed.empty()) {
            armedFor.reset();
            wakeUp->stop();
            return;
        }
        due = delayed.begin()->first.due;
        armedFor = due;
    }
    const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
    const auto wait = std::clamp<std::chrono::milliseconds::rep>(remaining.count(), 0, INT_MAX);
    wakeUp->start(static_cast<int>(wait));
}

void QtMainQueue::Core::onTimer() {
    // Only what was due when the timer fired, so that a short repeating timer cannot keep
    // this loop going.
    const auto now = Clock::now();
    while (!shouldPause()) {
        Key key;
        Entry entry;
        {
            std::lock_guard lock(queueLock);
            if (isClosed) {
                return;
            }
            if (delayed.empty() || delayed.begin()->first.due > now) {
                break;
            }
            auto node = delayed.extract(delayed.begin());
            key = node.key();
            entry = std::move(node.mapped());
        }
        if (!entry.timer) {
            invoke(entry.task);
            continue;
        }
        if (!entry.timer->fire()) {
            continue; // cancelled: dropped
        }
        // The next firing keeps the phase; firings missed while the thread was busy are skipped.
        const auto interval = entry.timer->interval;
        auto next = key.due + interval;
        if (const auto after = Clock::now(); next <= after) {
            next = key.due + ((after - key.due) / interval + 1) * interval;
        }
        std::lock_guard lock(queueLock);
        if (!isClosed) {
            insertLocked(next, std::move(entry));
        }
    }
    armTimer();
}

void QtMainQueue::Core::resumeAfterRun() {
    {
        std::lock_guard lock(queueLock);
        if (isClosed) {
            return;
        }
        if (!immediate.empty() && !isDrainPosted) {
            isDrainPosted = true;
            postLocked([this] { drain(); });
        }
    }
    armTimer();
}

void QtMainQueue::Core::run() {
    assert(isCurrent() && "the main queue runs on the thread that created it");
    if (!isCurrent() || currentRun != nullptr) {
        return;
    }
    if (isStopRequested.exchange(false)) {
        return;
    }
    QEventLoop loop;
    currentRun = &loop;
    isRunEnding = false;
    loop.exec();
    currentRun = nullptr;
    isRunEnding = false;
    resumeAfterRun();
}

void QtMainQueue::Core::stop() {
    isStopRequested = true;
    std::lock_guard lock(queueLock);
    if (!isClosed) {
        // Wakes a run that is waiting for events; without a run the flag waits for the next.
        postLocked([this] { shouldPause(); });
    }
}

QtMainQueue::QtMainQueue() : core(std::make_unique<Core>()) {}

QtMainQueue::~QtMainQueue() = default;

void QtMainQueue::async(Task task) {
    core->async(std::move(task));
}

void QtMainQueue::schedule(Clock::time_point deadline, Task task) {
    core->schedule(deadline, std::move(task));
}

RepeatingTimer QtMainQueue::repeating(Clock::duration interval, Task action) {
    return core->repeating(interval, std::move(action));
}

bool QtMainQueue::isCurrent() const noexcept {
    return core->isCurrent();
}

void QtMainQueue::run() {
    core->run();
}

void QtMainQueue::stop() {
    core->stop();
}

} // namespace ravnix
