#include "platform/network/AvahiDnsSd.hpp"

#include "platform/network/detail/EventSink.hpp"

#include <atomic>
#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/address.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>
#include <cerrno>
#include <chrono>
#include <map>
#include <net/if.h>
#include <set>
#include <thread>
#include <vector>

namespace ravnix {

using detail::EventSink;
using detail::ResolveResult;

namespace {

// Renames tried for one advertisement before giving up: another host that takes every
// alternative name is a broken network, not a busy one.
constexpr int renameLimit = 100;

NetworkError avahiError(std::string operation, int code) {
    return NetworkError{std::move(operation), code, avahi_strerror(code)};
}

struct PollFree {
    void operator()(AvahiThreadedPoll* poll) const noexcept { avahi_threaded_poll_free(poll); }
};
struct ClientFree {
    void operator()(AvahiClient* client) const noexcept { avahi_client_free(client); }
};
struct GroupFree {
    void operator()(AvahiEntryGroup* group) const noexcept { avahi_entry_group_free(group); }
};
struct BrowserFree {
    void operator()(AvahiServiceBrowser* browser) const noexcept {
        avahi_service_browser_free(browser);
    }
};
struct ResolverFree {
    void operator()(AvahiServiceResolver* resolver) const noexcept {
        avahi_service_resolver_free(resolver);
    }
};
struct StringListFree {
    void operator()(AvahiStringList* list) const noexcept { avahi_string_list_free(list); }
};
struct AvahiFree {
    void operator()(char* text) const noexcept { avahi_free(text); }
};

using GroupHandle = std::unique_ptr<AvahiEntryGroup, GroupFree>;
using BrowserHandle = std::unique_ptr<AvahiServiceBrowser, BrowserFree>;
using ResolverHandle = std::unique_ptr<AvahiServiceResolver, ResolverFree>;
using StringList = std::unique_ptr<AvahiStringList, StringListFree>;

StringList toStringList(const TxtRecord& txt) {
    StringList list;
    for (const auto& [key, value] : txt) {
        // avahi_string_list_add_pair prepends and returns the new head.
        list.reset(avahi_string_list_add_pair(list.release(), key.c_str(), value.c_str()));
    }
    return list;
}

TxtRecord toTxtRecord(AvahiStringList* list) {
    TxtRecord txt;
    for (auto* item = list; item != nullptr; item = avahi_string_list_get_next(item)) {
        char* key = nullptr;
        char* value = nullptr;
        if (avahi_string_list_get_pair(item, &key, &value, nullptr) != 0) {
            continue;
        }
        const std::unique_ptr<char, AvahiFree> ownedKey(key);
        const std::unique_ptr<char, AvahiFree> ownedValue(value);
        if (key != nullptr && *key != '\0') {
            // The first occurrence counts; later repeats of a key are ignored.
            txt.try_emplace(key, value != nullptr ? value : "");
        }
    }
    return txt;
}

const char* domainOrNull(const std::string& domain) {
    return domain.empty() ? nullptr : domain.c_str();
}

} // namespace

// ---- the client ----

class AvahiOperation;

// The client, and a new one whenever the daemon went away: avahi-client cannot reconnect a
// client that failed, so it is replaced by one that waits for the daemon (AVAHI_CLIENT_NO_FAIL)
// and the operations register again on it.
struct AvahiDnsSd::Context {
    ~Context() {
        if (isRunning) {
            avahi_threaded_poll_stop(poll.get()); // joins the client's thread
        }
        client.reset();
        poll.reset(); // frees the retry timer with it
    }

    // Holds the poll's lock, except on the poll's own thread, where callbacks already hold it.
    class Lock {
      public:
        explicit Lock(const Context& context)
            : poll_(context.isPollThread() ? nullptr : context.poll.get()) {
            if (poll_ != nullptr) {
                avahi_threaded_poll_lock(poll_);
            }
        }
        ~Lock() {
            if (poll_ != nullptr) {
                avahi_threaded_poll_unlock(poll_);
            }
        }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        AvahiThreadedPoll* poll_;
    };

    bool isPollThread() const noexcept {
        return pollThread.load(std::memory_order_acquire) == std::this_thread::get_id();
    }
    // Every callback calls this first: callbacks run on the poll's thread once it runs.
    void notePollThread() noexcept {
        if (isRunning) {
            pollThread.store(std::this_thread::get_id(), std::memory_order_release);
        }
    }
    std::string domain(const std::string& given) const {
        return given.empty() ? defaultDomain : given;
    }

    // Under the lock: the client talks to a daemon (which may still settle its host name).
    bool isConnected() const noexcept {
        return client && (clientState == AVAHI_CLIENT_S_RUNNING ||
                          clientState == AVAHI_CLIENT_S_REGISTERING ||
                          clientState == AVAHI_CLIENT_S_COLLISION);
    }

    // Under the lock. Makes a client that waits for the daemon; false when not even that can be
    // made (no system bus), with `error` set.
    bool connect(int& error);
    // Under the lock: the client reached `state` (the operations are told).
    void enter(AvahiClientState state);
    // Under the lock: a new client after `delay`.
    void reconnectAfter(std::chrono::milliseconds delay);
    void setAvailability(DnsSd::Availability next);

    std::unique_ptr<AvahiThreadedPoll, PollFree> poll;
    std::unique_ptr<AvahiClient, ClientFree> client;
    AvahiTimeout* retryTimer = nullptr;  // owned by the poll; made before its thread starts
    bool isRunning = false;              // written before the poll's thread starts
    std::string defaultDomain = "local"; // likewise
    std::atomic<std::thread::id> pollThread{};

    // Under the poll's lock.
    AvahiClientState clientState = AVAHI_CLIENT_CONNECTING;
    // The client in use has talked to a daemon: when it fails, the daemon left (a restart)
    // and a new client follows at once; a client that fails before that is retried slowly.
    bool hasReachedDaemon = false;
    DnsSd::Availability availability;
    std::set<AvahiOperation*> operations;
};

using Context = AvahiDnsSd::Context;

// A request of this backend. Its C handles are created and freed under the poll's lock, on
// the client of the moment.
class AvahiOperation : public DnsSd::Operation {
  public:
    explicit AvahiOperation(std::shared_ptr<Context> context) : context_(std::move(context)) {}

    // Under the poll's lock, from the client's state changes.
    virtual void clientRunning() {}
    virtual void clientRestarting() {}
    // The daemon is out of reach: the handles go (the client they belong to is replaced).
    virtual void clientLost(const NetworkError& reason) = 0;
    virtual void availabilityChanged(const DnsSd::Availability&) {}

  protected:
    std::shared_ptr<Context> context_;
};

namespace {

// How long to wait before the next client when the last one never reached a daemon.
constexpr auto slowRetry = std::chrono::milliseconds(1000);

void onClientState(AvahiClient* client, AvahiClientState state, void* userdata) {
    auto& context = *static_cast<Context*>(userdata);
    context.notePollThread();
    context.clientState = state;
    if (context.client.get() != client) {
        return; // inside avahi_client_new(): connect() takes the state from there
    }
    context.enter(state);
}

void onRetry(AvahiTimeout*, void* userdata) {
    auto& context = *static_cast<Context*>(userdata);
    context.notePollThread();
    // Freed here rather than in its own failure callback, which runs inside libdbus.
    context.client.reset();
    int error = 0;
    if (!context.connect(error)) {
        context.setAvailability({false, avahiError("avahi_client_new", error)});
        context.reconnectAfter(slowRetry);
    }
}

} // namespace

bool Context::connect(int& error) {
    clientState = AVAHI_CLIENT_CONNECTING;
    hasReachedDaemon = false;
    client.reset(avahi_client_new(avahi_threaded_poll_get(poll.get()), AVAHI_CLIENT_NO_FAIL,
                                  &onClientState, this, &error));
    if (!client) {
        clientState = AVAHI_CLIENT_FAILURE;
        return false;
    }
    enter(clientState);
    return true;
}

void Context::enter(AvahiClientState state) {
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
        hasReachedDaemon = true;
        for (auto* operation : operations) {
            operation->clientRunning();
        }
        break;
    case AVAHI_CLIENT_S_REGISTERING:
    case AVAHI_CLIENT_S_COLLISION:
        // The host name is being (re)established: services go back until it is.
        hasReachedDaemon = true;
        for (auto* operation : operations) {
            operation->clientRestarting();
        }
        break;
    case AVAHI_CLIENT_CONNECTING:
    case AVAHI_CLIENT_FAILURE: {
        const auto reason = state == AVAHI_CLIENT_CONNECTING
                                ? avahiError("avahi_client", AVAHI_ERR_NO_DAEMON)
                                : avahiError("avahi_client", avahi_client_errno(client.get()));
        for (auto* operation : operations) {
            operation->clientLost(reason);
        }
        setAvailability({false, reason});
        if (state == AVAHI_CLIENT_FAILURE) {
            reconnectAfter(hasReachedDaemon ? std::chrono::milliseconds(0) : slowRetry);
        }
        return;
    }
    }
    setAvailability({true, std::nullopt});
}

void Context::reconnectAfter(std::chrono::milliseconds delay) {
    timeval when{};
    avahi_elapse_time(&when, static_cast<unsigned>(delay.count()), 0);
    avahi_threaded_poll_get(poll.get())->timeout_update(retryTimer, &when);
}

void Context::setAvailability(DnsSd::Availability next) {
    // Reported when it flips; a second reason while still away adds nothing for the user.
    if (next.isAvailable == availability.isAvailable) {
        return;
    }
    availability = std::move(next);
    for (auto* operation : operations) {
        operation->availabilityChanged(availability);
    }
}

namespace {

// ---- advertising ----

class AvahiAdvertisement final : public AvahiOperation {
  public:
    AvahiAdvertisement(std::shared_ptr<Context> context, DnsSd::Advertisement wished,
                       std::shared_ptr<EventSink<DnsSd::AdvertiseEvent>> sink)
        : AvahiOperation(std::move(context)), service_(std::move(wished.service)),
          port_(wished.port), txt_(std::move(wished.txt)), sink_(std::move(sink)) {
        context_->operations.insert(this);
    }

    ~AvahiAdvertisement() override {
        const Context::Lock lock(*context_);
        context_->operations.erase(this);
        sink_->close();
        group_.reset(); // withdraws the service
    }

    // Under the lock. A failure here is the caller's; later ones are posted. Without a daemon
    // the service waits for one.
    std::optional<NetworkError> begin() {
        return context_->isConnected() ? attach() : std::nullopt;
    }

    void clientRunning() override {
        if (isFailed_) {
            return;
        }
        if (!group_) {
            report(attach());
        } else if (avahi_entry_group_is_empty(group_.get()) > 0) {
            report(publish(group_.get()));
        }
    }
    void clientRestarting() override {
        if (isFailed_) {
            return;
        }
        if (!group_) {
            report(attach());
        } else {
            avahi_entry_group_reset(group_.get());
        }
    }
    // Published again, under the name it had, once a daemon runs.
    void clientLost(const NetworkError&) override { group_.reset(); }

  private:
    static void onGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state, void* userdata) {
        // The first call comes from inside avahi_entry_group_new(): use `group`, not group_.
        auto& self = *static_cast<AvahiAdvertisement*>(userdata);
        self.context_->notePollThread();
        switch (state) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED:
            self.sink_->post({DnsSd::AdvertiseEvent::Kind::registered,
                              {self.service_.name, self.service_.type,
                               self.context_->domain(self.service_.domain)},
                              std::nullopt});
            break;
        case AVAHI_ENTRY_GROUP_COLLISION:
            // Another host publishes this name: take the next one and publish again.
            self.rename();
            avahi_entry_group_reset(group);
            self.report(self.publish(group));
            break;
        case AVAHI_ENTRY_GROUP_FAILURE:
            self.report(avahiError("avahi_entry_group",
                                   avahi_client_errno(avahi_entry_group_get_client(group))));
            break;
        case AVAHI_ENTRY_GROUP_UNCOMMITED:
        case AVAHI_ENTRY_GROUP_REGISTERING:
            break;
        }
    }

    // Under the lock, with the client connected: the group, published once the daemon's host
    // name is settled.
    std::optional<NetworkError> attach() {
        group_.reset(
            avahi_entry_group_new(context_->client.get(), &AvahiAdvertisement::onGroupState, this));
        if (!group_) {
            return avahiError("avahi_entry_group_new", avahi_client_errno(context_->client.get()));
        }
        if (context_->clientState == AVAHI_CLIENT_S_RUNNING) {
            return publish(group_.get());
        }
        return std::nullopt;
    }

    void rename() {
        const std::unique_ptr<char, AvahiFree> next(
            avahi_alternative_service_name(service_.name.c_str()));
        if (next) {
            service_.name = next.get();
        }
        ++renames_;
    }

    // Adds the service, renaming while this host already publishes the name, and commits.
    std::optional<NetworkError> publish(AvahiEntryGroup* group) {
        const auto txt = toStringList(txt_);
        for (;;) {
            if (renames_ > renameLimit) {
                return avahiError("avahi_entry_group_add_service(" + service_.name + ")",
                                  AVAHI_ERR_COLLISION);
            }
            const int added = avahi_entry_group_add_service_strlst(
                group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags{},
                service_.name.c_str(), service_.type.c_str(), domainOrNull(service_.domain),
                nullptr, port_, txt.get());
            if (added == AVAHI_ERR_COLLISION) {
                rename();
                avahi_entry_group_reset(group);
                continue;
            }
            if (added < 0) {
                return avahiError("avahi_entry_group_add_service(" + service_.name + ")", added);
            }
            const int committed = avahi_entry_group_commit(group);
            if (committed < 0) {
                return avahiError("avahi_entry_group_commit(" + service_.name + ")", committed);
            }
            return std::nullopt;
        }
    }

    void report(std::optional<NetworkError> error) {
        if (!error || isFailed_) {
            return;
        }
        isFailed_ = true;
        sink_->post({DnsSd::AdvertiseEvent::Kind::failed, service_, std::move(error)});
    }

    ServiceEndpoint service_; // the name now published or being tried
    const std::uint16_t port_;
    const TxtRecord txt_;
    const std::shared_ptr<EventSink<DnsSd::AdvertiseEvent>> sink_;
    GroupHandle group_;
    int renames_ = 0;
    bool isFailed_ = false;
};

// ---- browsing ----

class AvahiBrowse final : public AvahiOperation {
  public:
    AvahiBrowse(std::shared_ptr<Context> context, bool includeTxt,
                std::shared_ptr<EventSink<DnsSd::BrowseEvent>> sink)
        : AvahiOperation(std::move(context)), includeTxt_(includeTxt), sink_(std::move(sink)) {
        context_->operations.insert(this);
    }

    ~AvahiBrowse() override {
        const Context::Lock lock(*context_);
        context_->operations.erase(this);
        sink_->close();
        entries_.clear(); // frees the resolvers before the browser
        browser_.reset();
    }

    // Under the lock. Without a daemon the browse waits for one.
    std::optional<NetworkError> begin(const std::string& type, const std::string& domain) {
        type_ = type;
        domain_ = domain;
        return context_->isConnected() ? attach() : std::nullopt;
    }

    void clientRunning() override { clientRestarting(); }
    void clientRestarting() override {
        if (!browser_ && !isFailed_) {
            if (auto error = attach()) {
                fail(*error);
            }
        }
    }
    // What was found cannot be reached through this daemon any more; a new browser reports
    // what is there once a daemon runs again.
    void clientLost(const NetworkError&) override {
        for (const auto& [service, entry] : entries_) {
            if (entry.isReported) {
                sink_->post({DnsSd::BrowseEvent::Kind::lost, service, std::nullopt, std::nullopt});
            }
        }
        entries_.clear(); // frees the resolvers before the browser
        browser_.reset();
    }

  private:
    // Under the lock, with the client connected.
    std::optional<NetworkError> attach() {
        browser_.reset(avahi_service_browser_new(
            context_->client.get(), AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type_.c_str(),
            domainOrNull(domain_), AvahiLookupFlags{}, &AvahiBrowse::onBrowse, this));
        if (!browser_) {
            return avahiError("avahi_service_browser_new(" + type_ + ")",
                              avahi_client_errno(context_->client.get()));
        }
        return std::nullopt;
    }

    // One appearance of an instance: the same service is seen once per interface and protocol.
    struct Sighting {
        AvahiBrowse* owner = nullptr;
        ServiceEndpoint service;
        AvahiIfIndex interface = AVAHI_IF_UNSPEC;
        AvahiProtocol protocol = AVAHI_PROTO_UNSPEC;
        ResolverHandle resolver;      // reads the TXT record
        std::optional<TxtRecord> txt; // once read
        bool isSettled = false;       // read, or given up
    };
    struct Entry {
        std::vector<std::unique_ptr<Sighting>> sightings;
        bool isReported = false;
        std::optional<TxtRecord> reportedTxt;
    };

    static void onBrowse(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                         AvahiBrowserEvent event, const char* name, const char* type,
                         const char* domain, AvahiLookupResultFlags, void* userdata) {
        auto& self = *static_cast<AvahiBrowse*>(userdata);
        self.context_->notePollThread();
        switch (event) {
        case AVAHI_BROWSER_NEW:
            self.add({name, type, domain}, interface, protocol);
            break;
        case AVAHI_BROWSER_REMOVE:
            self.remove({name, type, domain}, interface, protocol);
            break;
        case AVAHI_BROWSER_FAILURE:
            self.fail(avahiError("avahi_service_browser",
                                 avahi_client_errno(self.context_->client.get())));
            break;
        case AVAHI_BROWSER_CACHE_EXHAUSTED:
        case AVAHI_BROWSER_ALL_FOR_NOW:
            break;
        }
    }

    static void onResolve(AvahiServiceResolver*, AvahiIfIndex, AvahiProtocol,
                          AvahiResolverEvent event, const char*, const char*, const char*,
                          const char*, const AvahiAddress*, std::uint16_t, AvahiStringList* txt,
                          AvahiLookupResultFlags, void* userdata) {
        auto& sighting = *static_cast<Sighting*>(userdata);
        sighting.owner->context_->notePollThread();
        if (event == AVAHI_RESOLVER_FOUND) {
            sighting.txt = toTxtRecord(txt);
        }
        sighting.isSettled = true;
        sighting.owner->update(sighting.service);
    }

    void add(const ServiceEndpoint& service, AvahiIfIndex interface, AvahiProtocol protocol) {
        auto& entry = entries_[service];
        for (const auto& sighting : entry.sightings) {
            if (sighting->interface == interface && sighting->protocol == protocol) {
                return;
            }
        }
        auto sighting = std::make_unique<Sighting>();
        sighting->owner = this;
        sighting->service = service;
        sighting->interface = interface;
        sighting->protocol = protocol;
        if (includeTxt_) {
            // Kept open: the resolver reports again when the record changes.
            sighting->resolver.reset(avahi_service_resolver_new(
                context_->client.get(), interface, protocol, service.name.c_str(),
                service.type.c_str(), service.domain.c_str(), AVAHI_PROTO_UNSPEC,
                AVAHI_LOOKUP_NO_ADDRESS, &AvahiBrowse::onResolve, sighting.get()));
        }
        sighting->isSettled = !sighting->resolver;
        entry.sightings.push_back(std::move(sighting));
        update(service);
    }

    void remove(const ServiceEndpoint& service, AvahiIfIndex interface, AvahiProtocol protocol) {
        const auto found = entries_.find(service);
        if (found == entries_.end()) {
            return;
        }
        std::erase_if(found->second.sightings, [&](const auto& sighting) {
            return sighting->interface == interface && sighting->protocol == protocol;
        });
        if (!found->second.sightings.empty()) {
            update(service);
            return;
        }
        const bool wasReported = found->second.isReported;
        entries_.erase(found);
        if (wasReported) {
            sink_->post({DnsSd::BrowseEvent::Kind::lost, service, std::nullopt, std::nullopt});
        }
    }

    // Reports the instance once its TXT record is known (or cannot be), and again when the
    // record changes.
    void update(const ServiceEndpoint& service) {
        auto& entry = entries_[service];
        std::optional<TxtRecord> txt;
        bool isSettled = true;
        if (includeTxt_) {
            for (const auto& sighting : entry.sightings) {
                if (sighting->txt) {
                    txt = sighting->txt;
                    break;
                }
                isSettled = isSettled && sighting->isSettled;
            }
            if (!txt && (!isSettled || entry.isReported)) {
                return; // wait for a record; a late failure does not hide the one reported
            }
        }
        if (entry.isReported && entry.reportedTxt == txt) {
            return;
        }
        entry.isReported = true;
        entry.reportedTxt = txt;
        sink_->post({DnsSd::BrowseEvent::Kind::found, service, std::move(txt), std::nullopt});
    }

    void fail(const NetworkError& error) {
        if (isFailed_) {
            return;
        }
        isFailed_ = true;
        sink_->post({DnsSd::BrowseEvent::Kind::failed, {}, std::nullopt, error});
    }

    const bool includeTxt_;
    const std::shared_ptr<EventSink<DnsSd::BrowseEvent>> sink_;
    std::string type_;
    std::string domain_;
    BrowserHandle browser_;
    std::map<ServiceEndpoint, Entry> entries_;
    bool isFailed_ = false;
};

// ---- resolving ----

class AvahiResolve final : public AvahiOperation {
  public:
    AvahiResolve(std::shared_ptr<Context> context, std::shared_ptr<EventSink<ResolveResult>> sink)
        : AvahiOperation(std::move(context)), sink_(std::move(sink)) {
        context_->operations.insert(this);
    }

    ~AvahiResolve() override {
        const Context::Lock lock(*context_);
        context_->operations.erase(this);
        sink_->close();
        resolver_.reset();
    }

    // Under the lock. Fails at once without a daemon: an answer may never come.
    std::optional<NetworkError> begin(const ServiceEndpoint& service) {
        if (!context_->isConnected()) {
            return context_->availability.reason.value_or(
                avahiError("avahi_client", AVAHI_ERR_NO_DAEMON));
        }
        // IPv4: the touch link, which the phone reaches at the host it paired through, is
        // IPv4 only.
        resolver_.reset(avahi_service_resolver_new(
            context_->client.get(), AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, service.name.c_str(),
            service.type.c_str(), domainOrNull(service.domain), AVAHI_PROTO_INET,
            AvahiLookupFlags{}, &AvahiResolve::onResolve, this));
        if (!resolver_) {
            return avahiError("avahi_service_resolver_new(" + service.name + ")",
                              avahi_client_errno(context_->client.get()));
        }
        return std::nullopt;
    }

    void clientLost(const NetworkError& reason) override {
        resolver_.reset();
        answer(std::unexpected(reason));
    }

  private:
    static void onResolve(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol,
                          AvahiResolverEvent event, const char* name, const char*, const char*,
                          const char*, const AvahiAddress* address, std::uint16_t port,
                          AvahiStringList*, AvahiLookupResultFlags, void* userdata) {
        auto& self = *static_cast<AvahiResolve*>(userdata);
        self.context_->notePollThread();
        if (event != AVAHI_RESOLVER_FOUND || address == nullptr) {
            self.answer(std::unexpected(avahiError(
                std::string("avahi_service_resolver(") + (name != nullptr ? name : "") + ")",
                avahi_client_errno(avahi_service_resolver_get_client(resolver)))));
        } else {
            char text[AVAHI_ADDRESS_STR_MAX] = {};
            avahi_address_snprint(text, sizeof text, address);
            std::string host = text;
            char interfaceName[IF_NAMESIZE] = {};
            if (address->proto == AVAHI_PROTO_INET6 &&
                if_indextoname(static_cast<unsigned>(interface), interfaceName) != nullptr) {
                host += std::string("%") + interfaceName; // link-local needs its interface
            }
            self.answer(HostEndpoint{std::move(host), port});
        }
        // One answer is all: freeing the resolver in its own callback is allowed.
        self.resolver_.reset();
    }

    void answer(ResolveResult result) {
        if (!isAnswered_) {
            isAnswered_ = true;
            sink_->post(std::move(result));
        }
    }

    const std::shared_ptr<EventSink<ResolveResult>> sink_;
    ResolverHandle resolver_;
    bool isAnswered_ = false;
};

// ---- availability ----

class AvahiAvailabilityWatch final : public AvahiOperation {
  public:
    AvahiAvailabilityWatch(std::shared_ptr<Context> context,
                           std::shared_ptr<EventSink<DnsSd::Availability>> sink)
        : AvahiOperation(std::move(context)), sink_(std::move(sink)) {
        context_->operations.insert(this);
    }

    ~AvahiAvailabilityWatch() override {
        const Context::Lock lock(*context_);
        context_->operations.erase(this);
        sink_->close();
    }

    // Under the lock, so that no change can come before the present state.
    std::optional<NetworkError> begin() {
        sink_->post(context_->availability);
        return std::nullopt;
    }

    void clientLost(const NetworkError&) override {}
    void availabilityChanged(const DnsSd::Availability& availability) override {
        sink_->post(availability);
    }

  private:
    const std::shared_ptr<EventSink<DnsSd::Availability>> sink_;
};

// Makes an operation under the lock; a failed start is destroyed after the lock is let go,
// since its destructor takes the lock again.
template <class Operation, class... Arguments>
std::expected<DnsSd::OperationHandle, NetworkError>
startOperation(const std::shared_ptr<Context>& context, std::unique_ptr<Operation> operation,
               Arguments&&... arguments) {
    std::optional<NetworkError> error;
    {
        const Context::Lock lock(*context);
        error = operation->begin(std::forward<Arguments>(arguments)...);
    }
    if (error) {
        return std::unexpected(std::move(*error));
    }
    return operation;
}

} // namespace

// ---- the backend ----

AvahiDnsSd::AvahiDnsSd(std::shared_ptr<Context> context) noexcept : context_(std::move(context)) {}

AvahiDnsSd::~AvahiDnsSd() = default;

std::expected<std::shared_ptr<AvahiDnsSd>, NetworkError> AvahiDnsSd::create() {
    auto context = std::make_shared<Context>();
    context->poll.reset(avahi_threaded_poll_new());
    if (!context->poll) {
        return std::unexpected(NetworkError::fromErrno("avahi_threaded_poll_new", ENOMEM));
    }
    const AvahiPoll* api = avahi_threaded_poll_get(context->poll.get());
    context->retryTimer = api->timeout_new(api, nullptr, &onRetry, context.get());
    if (context->retryTimer == nullptr) {
        return std::unexpected(NetworkError::fromErrno("avahi timeout_new", ENOMEM));
    }
    int error = 0;
    // The state callback runs inside avahi_client_new already, on this thread.
    if (!context->connect(error)) {
        return std::unexpected(avahiError("avahi_client_new", error));
    }
    if (context->isConnected()) {
        if (const char* domain = avahi_client_get_domain_name(context->client.get())) {
            context->defaultDomain = domain;
        }
    }
    context->isRunning = true;
    if (avahi_threaded_poll_start(context->poll.get()) < 0) {
        context->isRunning = false;
        return std::unexpected(NetworkError::fromErrno("avahi_threaded_poll_start", EAGAIN));
    }
    return std::shared_ptr<AvahiDnsSd>(new AvahiDnsSd(std::move(context)));
}

std::expected<DnsSd::OperationHandle, NetworkError>
AvahiDnsSd::advertise(DnsSd::Advertisement advertisement, SerialQueue& queue,
                      AdvertiseHandler onEvent) {
    auto sink = std::make_shared<EventSink<AdvertiseEvent>>(queue, std::move(onEvent));
    std::unique_ptr<AvahiAdvertisement> operation;
    {
        const Context::Lock lock(*context_);
        operation = std::make_unique<AvahiAdvertisement>(context_, std::move(advertisement), sink);
    }
    return startOperation(context_, std::move(operation));
}

std::expected<DnsSd::OperationHandle, NetworkError>
AvahiDnsSd::browse(std::string type, std::string domain, bool includeTxt, SerialQueue& queue,
                   BrowseHandler onEvent) {
    auto sink = std::make_shared<EventSink<BrowseEvent>>(queue, std::move(onEvent));
    std::unique_ptr<AvahiBrowse> operation;
    {
        const Context::Lock lock(*context_);
        operation = std::make_unique<AvahiBrowse>(context_, includeTxt, sink);
    }
    return startOperation(context_, std::move(operation), type, domain);
}

std::expected<DnsSd::OperationHandle, NetworkError>
AvahiDnsSd::resolve(ServiceEndpoint service, SerialQueue& queue, ResolveHandler onResult) {
    auto sink = detail::makeResolveSink(queue, std::move(onResult));
    std::unique_ptr<AvahiResolve> operation;
    {
        const Context::Lock lock(*context_);
        operation = std::make_unique<AvahiResolve>(context_, sink);
    }
    return startOperation(context_, std::move(operation), service);
}

std::expected<DnsSd::OperationHandle, NetworkError>
AvahiDnsSd::watchAvailability(SerialQueue& queue, AvailabilityHandler onChange) {
    auto sink = std::make_shared<EventSink<Availability>>(queue, std::move(onChange));
    std::unique_ptr<AvahiAvailabilityWatch> operation;
    {
        const Context::Lock lock(*context_);
        operation = std::make_unique<AvahiAvailabilityWatch>(context_, sink);
    }
    return startOperation(context_, std::move(operation));
}

std::string AvahiDnsSd::hostName() const {
    const Context::Lock lock(*context_);
    if (!context_->isConnected()) {
        return "";
    }
    const char* name = avahi_client_get_host_name(context_->client.get());
    return name != nullptr ? name : "";
}

} // namespace ravnix
