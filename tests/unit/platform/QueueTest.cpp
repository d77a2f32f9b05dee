#include "platform/AsioMainQueue.hpp"
#include "platform/DispatchQueue.hpp"
#include "unit/platform/network/NetworkTestSupport.hpp"

#include <atomic>
#include <condition_variable>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

namespace ravnix {
namespace {

using namespace std::chrono_literals;
using Clock = SerialQueue::Clock;

using Recorder = test::Events<int>;
using test::makeQueue;

// Waits until everything the queue held before this call with a deadline up to `after` ran.
void drain(SerialQueue& queue, Clock::duration after = 0ms) {
    Recorder done;
    queue.asyncAfter(after, [&] { done.add(0); });
    ASSERT_TRUE(done.waitForCount(1));
}

TEST(DispatchQueue, AsyncRunsInSubmissionOrderOnTheQueueThread) {
    auto queue = makeQueue();
    Recorder order;
    std::atomic<int> offQueue{0};
    // Hold the queue until everything is submitted, so that the task queued from inside a
    // handler comes after all of it.
    std::promise<void> gate;
    queue->async([opened = gate.get_future()] { opened.wait_for(5s); });
    constexpr int count = 1000;
    for (int i = 0; i < count; ++i) {
        queue->async([&, i] {
            if (!queue->isCurrent()) {
                ++offQueue;
            }
            if (i == 0) {
                queue->async([&] { order.add(count); });
            }
            order.add(i);
        });
    }
    gate.set_value();
    EXPECT_FALSE(queue->isCurrent());
    ASSERT_TRUE(order.waitForCount(count + 1));
    const auto values = order.snapshot();
    for (int i = 0; i <= count; ++i) {
        ASSERT_EQ(values[static_cast<std::size_t>(i)], i);
    }
    EXPECT_EQ(offQueue.load(), 0);
}

// Deadlines given as points in time or (in any unit) as delays from now.
TEST(DispatchQueue, DelayedWorkRunsByDeadlineThenSubmissionAndNeverEarly) {
    auto queue = makeQueue();
    Recorder order;
    std::mutex earlyLock;
    std::vector<int> early; // tasks that ran before their deadline

    const auto base = Clock::now() + 120ms;
    auto at = [&](Clock::time_point deadline, int id) {
        queue->asyncAfter(deadline, [&, deadline, id] {
            if (Clock::now() < deadline) {
                std::lock_guard lock(earlyLock);
                early.push_back(id);
            }
            order.add(id);
        });
    };
    at(base + 60ms, 1000);
    for (int i = 0; i < 200; ++i) {
        at(base, i); // equal deadlines: submission order
    }
    at(base - 60ms, -1);
    queue->async([&] { order.add(-2); });
    const auto submitted = Clock::now();
    queue->asyncAfter(std::chrono::duration<double>(0.25), [&] {
        if (Clock::now() < submitted + 250ms) {
            std::lock_guard lock(earlyLock);
            early.push_back(2000);
        }
        order.add(2000);
    });

    ASSERT_TRUE(order.waitForCount(204));
    const auto values = order.snapshot();
    ASSERT_EQ(values.size(), 204u);
    EXPECT_EQ(values[0], -2);
    EXPECT_EQ(values[1], -1);
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(values[static_cast<std::size_t>(i) + 2], i);
    }
    EXPECT_EQ(values[202], 1000);
    EXPECT_EQ(values[203], 2000);
    EXPECT_TRUE(early.empty());
    EXPECT_LT(Clock::now() - base, 3s);
}

TEST(DispatchQueue, ThreadIsNamedAfterTheLabelTail) {
    auto queue = makeQueue("com.belvor.ravnix.link");
    EXPECT_EQ(queue->label(), "com.belvor.ravnix.link");
    std::string seen;
    Recorder done;
    queue->async([&] {
        char name[32] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        seen = name;
        done.add(0);
    });
    ASSERT_TRUE(done.waitForCount(1));
    EXPECT_EQ(seen, "ravnix.link");

    EXPECT_EQ(threadNameForLabel("com.belvor.ravnix.peer.listener"), "peer.listener");
    EXPECT_EQ(threadNameForLabel("com.belvor.ravnix.pairing.listener"), "listener");
    EXPECT_EQ(threadNameForLabel("short.label"), "short.label");
    EXPECT_EQ(threadNameForLabel("com.belvor.averyveryverylongpart"), "eryverylongpart");
    // A cut that would fall inside a two-byte character ("ş") moves past it.
    EXPECT_EQ(threadNameForLabel("com.belvor.eşleştirmebekleyenx"), "tirmebekleyenx");
}

TEST(RepeatingTimer, FiresUntilItsHandleGoesAndNeverAfter) {
    auto queue = makeQueue();
    Recorder ticks;
    {
        auto timer = queue->repeating(5ms, [&] { ticks.add(1); });
        EXPECT_TRUE(timer.isActive());
        ASSERT_TRUE(ticks.waitForCount(3));
    }
    const auto fired = ticks.snapshot().size();
    drain(*queue, 50ms); // ten more intervals
    EXPECT_EQ(ticks.snapshot().size(), fired);
}

TEST(RepeatingTimer, CancelFromInsideStopsIt) {
    auto queue = makeQueue();
    Recorder ticks;
    RepeatingTimer timer; // touched on the queue only, until the drain below
    queue->async([&] {
        timer = queue->repeating(2ms, [&] {
            ticks.add(1);
            if (ticks.snapshot().size() == 3) {
                timer.cancel();
            }
        });
    });
    ASSERT_TRUE(ticks.waitForCount(3));
    drain(*queue, 40ms);
    EXPECT_EQ(ticks.snapshot().size(), 3u);
    EXPECT_FALSE(timer.isActive());
}

TEST(RepeatingTimer, CancelFromAnotherThreadWaitsForTheRunningAction) {
    auto queue = makeQueue();
    Recorder inside;
    std::mutex finishedLock;
    std::condition_variable never;
    std::atomic<int> finished{0};
    auto timer = queue->repeating(1ms, [&] {
        inside.add(1);
        // Stands for an action that takes a while; nothing ever notifies `never`.
        std::unique_lock lock(finishedLock);
        never.wait_for(lock, 100ms, [] { return false; });
        ++finished;
    });
    ASSERT_TRUE(inside.waitForCount(1));
    timer.cancel();
    const int atCancel = finished.load();
    EXPECT_EQ(static_cast<std::size_t>(atCancel), inside.snapshot().size());
    drain(*queue, 20ms);
    EXPECT_EQ(finished.load(), atCancel);
}

// Submits more work from its destructor, which may run while the queue is shutting down.
struct PostsWhenDestroyed {
    SerialQueue* queue;
    std::shared_ptr<int> token;
    PostsWhenDestroyed(SerialQueue* queue, std::shared_ptr<int> token)
        : queue(queue), token(std::move(token)) {}
    PostsWhenDestroyed(PostsWhenDestroyed&& other) noexcept
        : queue(std::exchange(other.queue, nullptr)), token(std::move(other.token)) {}
    ~PostsWhenDestroyed() {
        if (queue != nullptr) {
            queue->async([token = token] {});
        }
    }
};

TEST(DispatchQueue, DestructionWithPendingWorkDropsItAndJoins) {
    auto token = std::make_shared<int>(0);
    std::promise<void> started, release; // the first task runs; it may return
    RepeatingTimer outliving;
    auto queue = makeQueue();
    queue->async([&started, released = release.get_future()] {
        started.set_value();
        released.wait_for(5s);
    });
    ASSERT_EQ(started.get_future().wait_for(5s), std::future_status::ready);
    SerialQueue* raw = queue.get();
    for (int i = 0; i < 200; ++i) {
        raw->async([token, raw] { raw->async([token] {}); }); // queues more while stopping
        raw->asyncAfter(std::chrono::milliseconds(i % 7), [token] {});
        raw->async([guard = PostsWhenDestroyed(raw, token)] {});
    }
    outliving = raw->repeating(1ms, [token] {});
    release.set_value();

    const auto start = Clock::now();
    queue.reset();
    EXPECT_LT(Clock::now() - start, 2s);
    // Only the timer's action, held by its handle, still holds the token.
    EXPECT_EQ(token.use_count(), 2);
    outliving.cancel();
    EXPECT_EQ(token.use_count(), 1);
}

TEST(AsioMainQueue, RunsWorkFromOtherThreadsOnItsOwnThreadUntilStopped) {
    AsioMainQueue main;
    std::vector<int> order;
    bool allOnMain = true;
    std::thread producer([&] {
        for (int i = 0; i < 100; ++i) {
            main.async([&, i] {
                allOnMain = allOnMain && main.isCurrent();
                order.push_back(i);
            });
        }
        main.asyncAfter(10ms, [&] { main.stop(); });
    });
    EXPECT_TRUE(main.runFor(5s));
    producer.join();
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    }
    EXPECT_TRUE(allOnMain);
}

TEST(AsioMainQueue, StopKeepsTheRestForTheNextRun) {
    AsioMainQueue main;
    std::vector<int> order;
    const auto deadline = Clock::now() + 20ms;
    main.asyncAfter(deadline, [&] {
        order.push_back(1);
        main.stop();
    });
    main.asyncAfter(deadline, [&] { order.push_back(2); }); // same deadline, same batch
    int ticks = 0;
    RepeatingTimer timer = main.repeating(30ms, [&] {
        if (++ticks == 3) {
            main.stop();
        }
    });
    EXPECT_TRUE(main.runFor(5s));
    EXPECT_EQ(order, std::vector<int>{1});
    EXPECT_TRUE(main.runFor(5s)); // the third tick stops this run
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(ticks, 3);

    // A stop that comes before the run ends the next run at once.
    main.stop();
    const auto start = Clock::now();
    EXPECT_TRUE(main.runFor(5s));
    EXPECT_LT(Clock::now() - start, 1s);

    // Without a stop the run ends at its limit.
    timer.cancel();
    const auto idle = Clock::now();
    EXPECT_FALSE(main.runFor(60ms));
    EXPECT_GE(Clock::now() - idle, 60ms);
    EXPECT_EQ(ticks, 3);
}

} // namespace
} // namespace ravnix
