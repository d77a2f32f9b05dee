#include "support/FakeDnsSd.hpp"

#include "platform/network/detail/EventSink.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <functional>
#include <utility>

namespace ravnix {

using detail::EventSink;

namespace {

std::string domainOrDefault(const std::string& domain) {
    return domain.empty() ? "local" : domain;
}

NetworkError fakeError(std::string operation, std::string reason) {
    return NetworkError{std::move(operation), -1, std::move(reason)};
}

// "_name._tcp" or "_name._udp", the name 1 to 15 characters.
bool isServiceType(const std::string& type) {
    if (type.size() < 7 || type[0] != '_') {
        return false;
    }
    const std::string suffix = type.substr(type.size() - 5);
    const std::string label = type.substr(1, type.size() - 6);
    return (suffix == "._tcp" || suffix == "._udp") && label.size() <= 15 &&
           std::all_of(label.begin(), label.end(),
                       [](unsigned char c) { return std::isalnum(c) != 0 || c == '-'; });
}

// Ends its request when dropped.
class FakeOperation final : public DnsSd::Operation {
  public:
    explicit FakeOperation(std::function<void()> end) : end_(std::move(end)) {}
    ~FakeOperation() override { end_(); }

  private:
    std::function<void()> end_;
};

} // namespace

struct FakeDnsSd::State {
    struct Published {
        std::uint64_t owner = 0;
        std::uint16_t port = 0;
        TxtRecord txt;
    };
    struct Watcher {
        std::uint64_t id = 0;
        std::string type;
        std::string domain;
        bool includeTxt = false;
        std::shared_ptr<EventSink<BrowseEvent>> sink;
    };

    explicit State(std::string host) : host(std::move(host)) {}

    // Needs lock. Posting under the lock keeps every watcher's events in registry order.
    void tell(const Watcher& watcher, const ServiceEndpoint& service, const Published* published) {
        if (watcher.type != service.type || watcher.domain != service.domain) {
            return;
        }
        BrowseEvent event{BrowseEvent::Kind::lost, service, std::nullopt, std::nullopt};
        if (published != nullptr) {
            event.kind = BrowseEvent::Kind::found;
            if (watcher.includeTxt) {
                event.txt = published->txt;
            }
        }
        watcher.sink->post(std::move(event));
    }

    const std::string host;
    mutable std::mutex lock; // guards everything below
    std::map<ServiceEndpoint, Published> services;
    std::vector<Watcher> watchers;
    Availability availability;
    std::map<std::uint64_t, std::shared_ptr<EventSink<Availability>>> availabilityWatchers;
    std::uint64_t nextId = 1;
};

FakeDnsSd::FakeDnsSd(std::string host) : state_(std::make_shared<State>(std::move(host))) {}

FakeDnsSd::~FakeDnsSd() = default;

std::shared_ptr<FakeDnsSd> FakeDnsSd::create(std::string host) {
    return std::shared_ptr<FakeDnsSd>(new FakeDnsSd(std::move(host)));
}

std::expected<DnsSd::OperationHandle, NetworkError>
FakeDnsSd::advertise(Advertisement advertisement, SerialQueue& queue, AdvertiseHandler onEvent) {
    auto service = std::move(advertisement.service);
    if (service.name.empty() || service.name.size() > 63) {
        return std::unexpected(fakeError("advertise(" + service.name + ")", "invalid name"));
    }
    if (!isServiceType(service.type)) {
        return std::unexpected(
            fakeError("advertise(" + service.type + ")", "invalid service type"));
    }
    service.domain = domainOrDefault(service.domain);
    auto sink = std::make_shared<EventSink<AdvertiseEvent>>(queue, std::move(onEvent));
    std::lock_guard lock(state_->lock);
    const auto id = state_->nextId++;
    const std::string wished = service.name;
    for (int number = 2; state_->services.contains(service); ++number) {
        service.name = wished + " #" + std::to_string(number);
    }
    const auto& published = state_->services
                                .emplace(service, State::Published{id, advertisement.port,
                                                                   std::move(advertisement.txt)})
                                .first->second;
    sink->post({AdvertiseEvent::Kind::registered, service, std::nullopt});
    for (const auto& watcher : state_->watchers) {
        state_->tell(watcher, service, &published);
    }
    return std::make_unique<FakeOperation>([state = state_, sink, service, id] {
        std::lock_guard lock(state->lock);
        sink->close();
        if (const auto found = state->services.find(service);
            found != state->services.end() && found->second.owner == id) {
            state->services.erase(found);
            for (const auto& watcher : state->watchers) {
                state->tell(watcher, service, nullptr);
            }
        }
    });
}

std::expected<DnsSd::OperationHandle, NetworkError>
FakeDnsSd::browse(std::string type, std::string domain, bool includeTxt, SerialQueue& queue,
                  BrowseHandler onEvent) {
    if (!isServiceType(type)) {
        return std::unexpected(fakeError("browse(" + type + ")", "invalid service type"));
    }
    auto sink = std::make_shared<EventSink<BrowseEvent>>(queue, std::move(onEvent));
    std::lock_guard lock(state_->lock);
    const auto id = state_->nextId++;
    State::Watcher watcher{id, std::move(type), domainOrDefault(domain), includeTxt, sink};
    for (const auto& [service, published] : state_->services) {
        state_->tell(watcher, service, &published);
    }
    state_->watchers.push_back(std::move(watcher));
    return std::make_unique<FakeOperation>([state = state_, sink, id] {
        std::lock_guard lock(state->lock);
        sink->close();
        std::erase_if(state->watchers, [&](const auto& watcher) { return watcher.id == id; });
    });
}

std::expected<DnsSd::OperationHandle, NetworkError>
FakeDnsSd::resolve(ServiceEndpoint service, SerialQueue& queue, ResolveHandler onResult) {
    service.domain = domainOrDefault(service.domain);
    auto sink = detail::makeResolveSink(queue, std::move(onResult));
    std::lock_guard lock(state_->lock);
    if (!state_->availability.isAvailable) {
        return std::unexpected(
            state_->availability.reason.value_or(fakeError("resolve", "unavailable")));
    }
    const auto found = state_->services.find(service);
    if (found == state_->services.end()) {
        sink->post(std::unexpected(fakeError("resolve(" + service.name + ")", "not found")));
    } else {
        sink->post(HostEndpoint{state_->host, found->second.port});
    }
    return std::make_unique<FakeOperation>([sink] { sink->close(); });
}

std::expected<DnsSd::OperationHandle, NetworkError>
FakeDnsSd::watchAvailability(SerialQueue& queue, AvailabilityHandler onChange) {
    auto sink = std::make_shared<EventSink<Availability>>(queue, std::move(onChange));
    std::lock_guard lock(state_->lock);
    const auto id = state_->nextId++;
    sink->post(state_->availability);
    state_->availabilityWatchers.emplace(id, sink);
    return std::make_unique<FakeOperation>([state = state_, sink, id] {
        std::lock_guard lock(state->lock);
        sink->close();
        state->availabilityWatchers.erase(id);
    });
}

void FakeDnsSd::setAvailability(Availability availability) {
    std::lock_guard lock(state_->lock);
    const bool flips = availability.isAvailable != state_->availability.isAvailable;
    state_->availability = std::move(availability);
    if (flips) {
        for (const auto& [id, sink] : state_->availabilityWatchers) {
            sink->post(state_->availability);
        }
    }
}

std::vector<ServiceEndpoint> FakeDnsSd::advertised() const {
    std::lock_guard lock(state_->lock);
    std::vector<ServiceEndpoint> result;
    for (const auto& entry : state_->services) {
        result.push_back(entry.first);
    }
    return result;
}

} // namespace ravnix
