#include "platform/DispatchQueue.hpp"

#include "platform/detail/AsioLoop.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <pthread.h>
#include <system_error>

namespace ravnix {

namespace {
constexpr std::size_t longestThreadName = 15;

// Never cut inside a UTF-8 sequence: move forward past continuation bytes.
std::size_t characterStart(std::string_view text, std::size_t at) {
    while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) {
        ++at;
    }
    return at;
}
} // namespace

std::string threadNameForLabel(std::string_view label) {
    if (label.size() <= longestThreadName) {
        return std::string(label);
    }
    // Walk the dots from the right while the tail still fits.
    std::size_t start = std::string_view::npos;
    for (std::size_t dot = label.rfind('.'); dot != std::string_view::npos && dot > 0;
         dot = label.rfind('.', dot - 1)) {
        if (label.size() - (dot + 1) > longestThreadName) {
            break;
        }
        start = dot + 1;
    }
    if (start == std::string_view::npos || start == label.size()) {
        start = characterStart(label, label.size() - longestThreadName);
    }
    return std::string(label.substr(start));
}

DispatchQueue::DispatchQueue(std::string label)
    : label_(std::move(label)), loop_(std::make_unique<detail::AsioLoop>()) {}

std::expected<std::unique_ptr<DispatchQueue>, PlatformError>
DispatchQueue::create(std::string label) {
    std::unique_ptr<DispatchQueue> queue(new DispatchQueue(std::move(label)));
    try {
        queue->thread_ =
            std::thread([loop = queue->loop_.get(), name = threadNameForLabel(queue->label_)] {
                pthread_setname_np(pthread_self(), name.c_str());
                loop->run();
            });
    } catch (const std::system_error& error) {
        return std::unexpected(
            PlatformError{"thread(" + queue->label_ + ")", error.code().value()});
    }
    return queue;
}

DispatchQueue::~DispatchQueue() {
    if (thread_.get_id() == std::this_thread::get_id()) {
        std::fprintf(stderr, "DispatchQueue %s destroyed on its own thread\n", label_.c_str());
        std::abort();
    }
    loop_->close();
    if (thread_.joinable()) {
        thread_.join();
    }
    loop_->discardPending();
}

void DispatchQueue::async(Task task) {
    loop_->async(std::move(task));
}

void DispatchQueue::schedule(Clock::time_point deadline, Task task) {
    loop_->schedule(deadline, std::move(task));
}

RepeatingTimer DispatchQueue::repeating(Clock::duration interval, Task action) {
    return loop_->repeating(interval, std::move(action));
}

bool DispatchQueue::isCurrent() const noexcept {
    return thread_.get_id() == std::this_thread::get_id();
}

void drainQueue(DispatchQueue& queue, std::chrono::milliseconds limitPerTurn) {
    for (int turn = 0; turn < 2; ++turn) {
        auto done = std::make_shared<std::promise<void>>();
        auto finished = done->get_future();
        queue.async([done] { done->set_value(); });
        if (finished.wait_for(limitPerTurn) != std::future_status::ready) {
            return;
        }
    }
}

} // namespace ravnix
