#include "ui/QtMainQueue.hpp"

#include <QTest>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <vector>

namespace ravnix {
namespace {

using namespace std::chrono_literals;
using Clock = SerialQueue::Clock;

TEST(QtMainQueue, ImmediateWorkKeepsSubmissionOrderAcrossThreadsAndRunsOnTheMainThread) {
    QtMainQueue queue;
    std::vector<int> order;
    int offThread = 0;
    auto record = [&](int value) {
        return [&, value] {
            offThread += queue.isCurrent() ? 0 : 1;
            order.push_back(value);
        };
    };
    queue.async(record(1));
    std::thread([&] {
        EXPECT_FALSE(queue.isCurrent());
        queue.async(record(2));
        queue.async(record(3));
    }).join();
    // Work submitted by a task runs after everything already queued.
    queue.async([&] {
        queue.async(record(6));
        order.push_back(4);
    });
    queue.async(record(5));
    EXPECT_TRUE(order.empty()) << "async never runs the task in the caller";
    EXPECT_TRUE(QTest::qWaitFor([&] { return order.size() == 6; }, 2000));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(offThread, 0);
}

TEST(QtMainQueue, DelayedWorkRunsByDeadlineThenSubmissionAndNeverEarly) {
    QtMainQueue queue;
    std::vector<int> order;
    std::vector<Clock::duration> lateness;
    const auto start = Clock::now();
    auto at = [&](std::chrono::milliseconds offset, int value) {
        const auto deadline = start + offset;
        // Submitted from another thread too: the earliest deadline must re-arm the timer.
        std::thread([&, deadline, value] {
            queue.asyncAfter(deadline, [&, deadline, value] {
                lateness.push_back(Clock::now() - deadline);
                order.push_back(value);
            });
        }).join();
    };
    // Far enough ahead that starting the submitting threads on a loaded machine (or under a
    // sanitizer) never takes longer than the first deadline.
    at(450ms, 4);
    at(300ms, 2);
    at(300ms, 3);
    at(150ms, 1);
    queue.asyncAfter(-5ms, [&] { order.push_back(0); }); // already due: soon
    EXPECT_TRUE(QTest::qWaitFor([&] { return order.size() == 5; }, 3000));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    for (const auto late : lateness) {
        EXPECT_GE(late, Clock::duration::zero()) << "a delayed task ran before its deadline";
    }
}

TEST(QtMainQueue, RepeatingTimerFiresUntilCancelledAndDestructionDropsPendingWork) {
    int fired = 0;
    auto dropped = std::make_shared<int>(0);
    bool droppedRan = false;
    {
        QtMainQueue queue;
        RepeatingTimer timer = queue.repeating(20ms, [&] { ++fired; });
        EXPECT_TRUE(QTest::qWaitFor([&] { return fired >= 3; }, 2000));
        timer.cancel();
        EXPECT_FALSE(timer.isActive());
        const int atCancel = fired;
        QTest::qWait(80);
        EXPECT_EQ(fired, atCancel) << "a cancelled timer fired again";

        // Cancelling from inside its own action ends it after that run.
        int inside = 0;
        RepeatingTimer self;
        self = queue.repeating(10ms, [&] {
            ++inside;
            self.cancel();
        });
        QTest::qWait(80);
        EXPECT_EQ(inside, 1);

        queue.async([dropped, &droppedRan] { droppedRan = true; });
        queue.asyncAfter(1h, [dropped, &droppedRan] { droppedRan = true; });
        EXPECT_EQ(dropped.use_count(), 3);
    }
    EXPECT_FALSE(droppedRan);
    EXPECT_EQ(dropped.use_count(), 1) << "the queue kept work it should have destroyed";
}

TEST(QtMainQueue, StopEndsTheRunAndLeavesTheRestQueued) {
    QtMainQueue queue;
    // A stop() before run() makes that run return at once.
    queue.stop();
    const auto before = Clock::now();
    queue.run();
    EXPECT_LT(Clock::now() - before, 1s);

    std::vector<int> order;
    queue.async([&] { order.push_back(1); });
    queue.async([&] {
        order.push_back(2);
        queue.stop();
    });
    queue.async([&] { order.push_back(3); });
    queue.asyncAfter(5s, [&] { queue.stop(); }); // bounds the test if stop() were lost
    queue.run();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));

    // The rest runs in the next run; stop() from another thread ends that one.
    std::thread stopper;
    queue.asyncAfter(30ms, [&] { stopper = std::thread([&] { queue.stop(); }); });
    queue.run();
    stopper.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

} // namespace
} // namespace ravnix
