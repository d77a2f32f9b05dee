#pragma once
// Posts a request's events to the requester's queue and stops delivering once closed. Shared by
// the DNS-SD backends: the backend thread posts, the requester's queue runs the handler.

#include "platform/SerialQueue.hpp"
#include "platform/network/DnsSd.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

namespace ravnix::detail {

template <class Event> class EventSink : public std::enable_shared_from_this<EventSink<Event>> {
  public:
    using Handler = std::function<void(const Event&)>;

    EventSink(SerialQueue& queue, Handler handler) : queue_(queue), handler_(std::move(handler)) {}

    // Any thread, while the queue exists. The handler runs on the queue unless close() came
    // first on that queue.
    void post(Event event) {
        queue_.async([self = this->shared_from_this(), event = std::move(event)] {
            if (self->isOpen_.load(std::memory_order_acquire) && self->handler_) {
                self->handler_(event);
            }
        });
    }

    // Any thread; on the queue's own thread it is final: no handler runs afterwards.
    void close() noexcept { isOpen_.store(false, std::memory_order_release); }
    bool isOpen() const noexcept { return isOpen_.load(std::memory_order_acquire); }

  private:
    SerialQueue& queue_;
    const Handler handler_;
    std::atomic<bool> isOpen_{true};
};

using ResolveResult = std::expected<HostEndpoint, NetworkError>;

// A sink for a resolve: the handler runs for the first answer only.
inline std::shared_ptr<EventSink<ResolveResult>> makeResolveSink(SerialQueue& queue,
                                                                 DnsSd::ResolveHandler handler) {
    auto once = std::make_shared<DnsSd::ResolveHandler>(std::move(handler));
    return std::make_shared<EventSink<ResolveResult>>(queue, [once](const ResolveResult& result) {
        if (auto pending = std::exchange(*once, DnsSd::ResolveHandler{})) {
            pending(result);
        }
    });
}

} // namespace ravnix::detail
