#include "support/FakeDnsSd.hpp"

#include "platform/network/detail/EventSink.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <utility>

namespace ravnix {

using detail::EventSink;

namespace {

const std::string defaultDomain = "local";

std::string domainOrDefault(const std::string& domain) {
    return domain.empty() ? defaultDomain : domain;
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
    if (suffix != "._tcp" && suffix != "._udp") {
        return false;
    }
    const std::string label = type.substr(1, type.size() - 6);
    return !label.empty() && label.size() <= 15 &&
           std::all_of(label.begin(), label.end(),
                       [](unsigned char c) { return std::isalnum(c) != 0 || c == '-'; });
}

} // namespace

std::string alternativeServiceName(const std::string& name) {
    const auto mark = name.rfind(" #");
    if (mark != std::string::npos && mark + 2 < name.size() &&
        std::all_of(name.begin() + static_cast<std::ptrdiff_t>(mark) + 2, name.end(),
                    [](unsigned char c) { return std::isdigit(c) != 0; }) &&
        name.size() - mark - 2 <= 9) {
        const auto number = std::stoul(name.substr(mark + 2));
        return name.substr(0, mark) + " #" + std::to_string(number + 1);
    }
    return name + " #2";
}

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
    void tell(const ServiceEndpoint& service, const Published* published) {
        for (const auto& watcher : watchers) {
            if (watcher.type != service.type || watcher.domain != service.domain) {
                continue;
            }
            BrowseEvent event;
            event.service = service;
            if (published != nullptr) {
                event.kind = BrowseEvent::Kind::found;
                if (watcher.includeTxt) {
                    event.txt = published->txt;
                }
            } else {
                event.kind = BrowseEvent::Kind::lost;
            }
            watcher.sink->post(std::move(event));
        }
    }

    const std::string host;
    mutable std::mutex lock; // guards everything below
    std::map<ServiceEndpoint, Published> services;
    std::vector<Watcher> watchers;
    std::uint64_t nextId = 1;
};

namespace {

class FakeAdvertisement final : public DnsSd::Operation {
  public:
    FakeAdvertisement(std::shared_ptr<FakeDnsSd::State> state,
                      std::shared_ptr<EventSink<DnsSd::AdvertiseEvent>> sink, std::uint64_t id)
        : state_(std::move(state)), sink_(std::move(sink)), id_(id) {}

    // Needs the registry lock.
    void publish(ServiceEndpoint wished, std::uint16_t port, TxtRecord txt) {
        // Bounded like a daemon's renaming: a registry this full is a test's mistake.
        for (int attempt = 0; attempt < 1000 && state_->services.contains(wished); ++attempt) {
            wished.name = alternativeServiceName(wished.name);
        }
        auto [at, inserted] = state_->services.emplace(
            wished, FakeDnsSd::State::Published{id_, port, std::move(txt)});
        if (!inserted) {
            sink_->post({DnsSd::AdvertiseEvent::Kind::failed, wished,
                         fakeError("advertise(" + wished.name + ")", "name collision")});
            return;
        }
        service_ = wished;
        sink_->post({DnsSd::AdvertiseEvent::Kind::registered, wished, std::nullopt});
        state_->tell(wished, &at->second);
    }

    ~FakeAdvertisement() override {
        std::lock_guard lock(state_->lock);
        sink_->close();
        if (!service_) {
            return;
        }
        const auto found = state_->services.find(*service_);
        if (found != state_->services.end() && found->second.owner == id_) {
            state_->services.erase(found);
            state_->tell(*service_, nullptr);
        }
    }

  private:
    std::shared_ptr<FakeDnsSd::State> state_;
    std::shared_ptr<EventSink<DnsSd::AdvertiseEvent>> sink_;
    const std::uint64_t id_;
    std::optional<ServiceEndpoint> service_;
};

class FakeBrowse final : public DnsSd::Operation {
  public:
    FakeBrowse(std::shared_ptr<FakeDnsSd::State> state,
               std::shared_ptr<EventSink<DnsSd::BrowseEvent>> sink, std::uint64_t id)
        : state_(std::move(state)), sink_(std::move(sink)), id_(id) {}

    ~FakeBrowse() override {
        std::lock_guard lock(state_->lock);
        sink_->close();
        std::erase_if(state_->watchers, [&](const auto& watcher) { return watcher.id == id_; });
    }

  private:
    std::shared_ptr<FakeDnsSd::State> state_;
    std::shared_ptr<EventSink<DnsSd::BrowseEvent>> sink_;
    const std::uint64_t id_;
};

using detail::ResolveResult;

class FakeResolve final : public DnsSd::Operation {
  public:
    explicit FakeResolve(std::shared_ptr<EventSink<ResolveResult>> sink) : sink_(std::move(sink)) {}
    ~FakeResolve() override { sink_->close(); }

  private:
    std::shared_ptr<EventSink<ResolveResult>> sink_;
};

} // namespace

FakeDnsSd::FakeDnsSd(std::string host) : state_(std::make_shared<State>(std::move(host))) {}

FakeDnsSd::~FakeDnsSd() = default;

std::shared_ptr<FakeDnsSd> FakeDnsSd::create(std::string host) {
    return std::shared_ptr<FakeDnsSd>(new FakeDnsSd(std::move(host)));
}

std::expected<DnsSd::OperationHandle, NetworkError>
FakeDnsSd::advertise(Advertisement advertisement, SerialQueue& queue, AdvertiseHandler onEvent) {
    auto& service = advertisement.service;
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
    auto operation = std::make_unique<FakeAdvertisement>(state_, sink, state_->nextId++);
    operation->publish(std::move(service), advertisement.port, std::move(advertisement.txt));
    return operation;
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
        if (service.type == watcher.type && service.domain == watcher.domain) {
            BrowseEvent event{BrowseEvent::Kind::found, service, std::nullopt, std::nullopt};
            if (includeTxt) {
                event.txt = published.txt;
            }
            sink->post(std::move(event));
        }
    }
    state_->watchers.push_back(std::move(watcher));
    return std::make_unique<FakeBrowse>(state_, std::move(sink), id);
}

std::expected<DnsSd::OperationHandle, NetworkError>
FakeDnsSd::resolve(ServiceEndpoint service, SerialQueue& queue, ResolveHandler onResult) {
    service.domain = domainOrDefault(service.domain);
    auto sink = detail::makeResolveSink(queue, std::move(onResult));
    std::lock_guard lock(state_->lock);
    const auto found = state_->services.find(service);
    if (found == state_->services.end()) {
        sink->post(std::unexpected(fakeError("resolve(" + service.name + ")", "not found")));
    } else {
        sink->post(HostEndpoint{state_->host, found->second.port});
    }
    return std::make_unique<FakeResolve>(std::move(sink));
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
