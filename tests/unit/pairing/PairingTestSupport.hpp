#pragma once
// The phone's end of pairing by hand (raw frames on a loopback connection) and a hand-driven
// scheduler standing in for the listener's deadlines.

#include "pairing/PairingBrowser.hpp"
#include "pairing/PairingFraming.hpp"
#include "pairing/PairingListener.hpp"
#include "unit/platform/network/NetworkTestSupport.hpp"

#include <algorithm>
#include <gtest/gtest.h>

namespace ravnix::test {

using std::chrono::milliseconds;

// Delayed tasks wait here until the test moves the clock past their due time; they then run on
// the test's thread, as the scheduler contract allows.
class HandScheduler {
  public:
    PairingListener::Scheduler scheduler() {
        return [this](milliseconds delay, std::move_only_function<void()> task) {
            std::lock_guard lock(tasksLock_);
            tasks_.push_back({now_ + delay, std::move(task)});
            delays_.push_back(delay);
            scheduled_.notify_all();
        };
    }
    // Waits until `count` tasks with this delay have been scheduled in all.
    bool waitForDelay(milliseconds delay, std::size_t count = 1) {
        std::unique_lock lock(tasksLock_);
        return scheduled_.wait_for(lock, 5s, [&] {
            return static_cast<std::size_t>(std::count(delays_.begin(), delays_.end(), delay)) >=
                   count;
        });
    }
    // Runs what is due by `to` outside the lock: a task may schedule another.
    void advanceTo(milliseconds to) {
        std::vector<Pending> due;
        {
            std::lock_guard lock(tasksLock_);
            now_ = to;
            const auto split = std::stable_partition(
                tasks_.begin(), tasks_.end(), [&](const Pending& p) { return p.due > now_; });
            std::move(split, tasks_.end(), std::back_inserter(due));
            tasks_.erase(split, tasks_.end());
        }
        for (auto& pending : due) {
            pending.task();
        }
    }
    milliseconds now() {
        std::lock_guard lock(tasksLock_);
        return now_;
    }

  private:
    struct Pending {
        milliseconds due;
        std::move_only_function<void()> task;
    };
    std::mutex tasksLock_;
    std::condition_variable scheduled_;
    milliseconds now_{0};
    std::vector<Pending> tasks_;
    std::vector<milliseconds> delays_;
};

inline std::vector<std::uint8_t> frame(const PairingMessage& message) {
    return PairingFraming::encode(message).value();
}

// The phone's end by hand: frames on a raw loopback connection.
struct Phone {
    Phone(DispatchQueue& queue, std::uint16_t port)
        : connection(Connection::create(HostEndpoint{"127.0.0.1", port}, Transport::tcp)) {
        connection->start(queue);
        receiveAll(connection, received);
    }
    ~Phone() { connection->cancel(); }

    PairingHello hello() const {
        const auto& key = handshake.publicKey();
        return {"phone-1", "Deniz'in telefonu", "iPhone15,2", {key.begin(), key.end()}};
    }
    void send(std::initializer_list<PairingMessage> messages) {
        std::vector<std::uint8_t> bytes;
        for (const auto& message : messages) {
            const auto one = frame(message);
            bytes.insert(bytes.end(), one.begin(), one.end());
        }
        connection->send(std::move(bytes));
    }
    // Sends `message` and closes the phone's end once the bytes are with the system, so the
    // desktop reads them before the end of the stream.
    void sendAndLeave(const PairingMessage& message) {
        auto sent = std::make_shared<Events<bool>>();
        connection->send(frame(message), [sent](const auto& error) { sent->add(!error); });
        EXPECT_TRUE(sent->waitForCount(1, 5s));
        connection->cancel();
    }
    std::vector<PairingMessage> messages() const { return decodeAll(received->snapshot()); }
    bool waitForMessages(std::size_t count) {
        return received->waitUntil(
            [count](const auto& all) { return decodeAll(all).size() >= count; }, 5s);
    }
    bool waitClosed(milliseconds limit = 5s) { return received->waitUntil(hasEnded, limit); }
    // The key and code on the phone's side, from the desktop's offer.
    std::optional<PairingOutcome> outcome() {
        for (const auto& message : messages()) {
            if (message.index() == PairingMessageCase::offer) {
                auto done =
                    handshake.complete(std::get<PairingMessageCase::offer>(message).publicKey);
                return done ? std::optional(*done) : std::nullopt;
            }
        }
        return std::nullopt;
    }

    static std::vector<PairingMessage> decodeAll(const std::vector<Received>& chunks) {
        std::vector<std::uint8_t> buffer;
        for (const auto& chunk : chunks) {
            buffer.insert(buffer.end(), chunk.bytes.begin(), chunk.bytes.end());
        }
        return PairingFraming::decode(buffer).value_or(std::vector<PairingMessage>{});
    }

    PairingHandshake handshake = PairingHandshake::make(Pairing::Role::initiator).value();
    std::shared_ptr<Connection> connection;
    std::shared_ptr<Events<Received>> received = std::make_shared<Events<Received>>();
};

using Step = PairingBrowser::PairingStep;

// The phone's first step of kind T from `from` on, if there is one.
template <class T> const T* stepAs(const std::vector<Step>& steps, std::size_t from = 0) {
    for (std::size_t i = from; i < steps.size(); ++i) {
        if (const auto* found = std::get_if<T>(&steps[i].value)) {
            return found;
        }
    }
    return nullptr;
}

template <class T>
bool waitForStep(Events<Step>& steps, std::size_t from = 0, milliseconds limit = 10s) {
    return steps.waitUntil([from](const auto& all) { return stepAs<T>(all, from) != nullptr; },
                           limit);
}

inline std::vector<PairingDecision> resultsIn(const std::vector<PairingMessage>& messages) {
    std::vector<PairingDecision> results;
    for (const auto& message : messages) {
        if (message.index() == PairingMessageCase::result) {
            results.push_back(std::get<PairingMessageCase::result>(message));
        }
    }
    return results;
}

} // namespace ravnix::test
