#pragma once
// DNS-SD (multicast DNS service discovery): advertising a service, browsing for a service type
// and resolving one instance to an address. Backends: AvahiDnsSd (the system's avahi daemon,
// in ravnix_platform_avahi); the tests have an in-process registry (tests/support/).
//
// Events are posted to the serial queue passed with each request, never called from inside the
// call that made the request. A request lasts as long as its Operation: destroying the
// Operation withdraws it. Destroyed on the queue its events go to, no event runs after the
// destructor returns; destroyed on another thread, at most an event already running finishes.
// Event handlers should hold their owners weakly: they may be destroyed on a backend thread.

#include "platform/SerialQueue.hpp"
#include "platform/network/NetworkTypes.hpp"

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace ravnix {

class DnsSd {
  public:
    // A running request. Move-only through its unique_ptr; destroying it stops the request.
    class Operation {
      public:
        virtual ~Operation() = default;
    };
    using OperationHandle = std::unique_ptr<Operation>;

    struct Advertisement {
        ServiceEndpoint service; // the name wished for; a collision picks another
        std::uint16_t port = 0;  // host byte order
        TxtRecord txt;
    };
    struct AdvertiseEvent {
        enum class Kind { registered, failed };
        Kind kind = Kind::registered;
        // registered: the service as now published. Its name differs from the wished one after
        // a name collision; a later rename or republication reports `registered` again.
        ServiceEndpoint service;
        std::optional<NetworkError> error; // failed only; the advertisement is then withdrawn
    };

    struct BrowseEvent {
        enum class Kind { found, lost, failed };
        Kind kind = Kind::found;
        // found: an instance appeared, or its TXT record changed (reported again);
        // lost: the instance left. The domain is filled in ("local", never empty).
        ServiceEndpoint service;
        // found only, when TXT records were asked for and the instance's record was read.
        std::optional<TxtRecord> txt;
        std::optional<NetworkError> error; // failed only; no further event follows
    };

    // Whether requests reach the service now. While they do not (its daemon stopped or is
    // restarting), advertisements and browses wait and are registered again when it is back;
    // instances a browse had reported are reported lost meanwhile.
    struct Availability {
        bool isAvailable = true;
        std::optional<NetworkError> reason; // unavailable only: what said so

        bool operator==(const Availability&) const = default;
    };

    using AdvertiseHandler = std::function<void(const AdvertiseEvent&)>;
    using BrowseHandler = std::function<void(const BrowseEvent&)>;
    using ResolveHandler = std::move_only_function<void(std::expected<HostEndpoint, NetworkError>)>;
    using AvailabilityHandler = std::function<void(const Availability&)>;

    virtual ~DnsSd() = default;

    // Any thread. Publishes the service on `port` until the Operation is destroyed. Fails at
    // once when the request cannot be made (bad arguments, no backend); later failures come
    // as a `failed` event on `queue`. The service going away for a while is no failure.
    virtual std::expected<OperationHandle, NetworkError>
    advertise(Advertisement advertisement, SerialQueue& queue, AdvertiseHandler onEvent) = 0;

    // Any thread. Reports instances of `type` in `domain` (empty: default) on `queue` until the
    // Operation is destroyed, starting with those already known. With `includeTxt` each
    // instance's TXT record is read before it is reported.
    virtual std::expected<OperationHandle, NetworkError> browse(std::string type,
                                                                std::string domain, bool includeTxt,
                                                                SerialQueue& queue,
                                                                BrowseHandler onEvent) = 0;

    // Any thread. Looks up the IPv4 address and port of `service` and posts exactly one answer
    // to `queue`, unless the Operation is destroyed first. Fails at once while the service is
    // unavailable, and with a failure answer when it goes away before answering.
    virtual std::expected<OperationHandle, NetworkError>
    resolve(ServiceEndpoint service, SerialQueue& queue, ResolveHandler onResult) = 0;

    // Any thread. Posts the present availability to `queue`, then each change between available
    // and unavailable, until the Operation is destroyed.
    virtual std::expected<OperationHandle, NetworkError>
    watchAvailability(SerialQueue& queue, AvailabilityHandler onChange) = 0;
};

} // namespace ravnix
