#pragma once
// DNS-SD inside the process: advertisements go into a registry that this object's browsers and
// resolvers read. For tests of the modules that advertise and browse, without a daemon.

#include "platform/network/DnsSd.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ravnix {

class FakeDnsSd final : public DnsSd {
  public:
    // Resolved services answer with `host` and their advertised port.
    static std::shared_ptr<FakeDnsSd> create(std::string host = "127.0.0.1");
    ~FakeDnsSd() override;

    // Name collisions are settled as a DNS-SD daemon does: the later advertisement takes the
    // next free name of "Mac", "Mac #2", "Mac #3" …
    std::expected<OperationHandle, NetworkError>
    advertise(Advertisement advertisement, SerialQueue& queue, AdvertiseHandler onEvent) override;
    std::expected<OperationHandle, NetworkError> browse(std::string type, std::string domain,
                                                        bool includeTxt, SerialQueue& queue,
                                                        BrowseHandler onEvent) override;
    // An instance that is not advertised fails at once (code -1, "not found").
    std::expected<OperationHandle, NetworkError>
    resolve(ServiceEndpoint service, SerialQueue& queue, ResolveHandler onResult) override;

    // Reports the availability set with setAvailability().
    std::expected<OperationHandle, NetworkError>
    watchAvailability(SerialQueue& queue, AvailabilityHandler onChange) override;

    // Any thread. Tells the watchers when availability flips; while unavailable, resolves fail
    // at once with the reason. Advertisements and browses stay as they are.
    void setAvailability(Availability availability);

    // Any thread. The services advertised right now, in name order.
    std::vector<ServiceEndpoint> advertised() const;

    struct State; // the registry, shared with the operations

  private:
    explicit FakeDnsSd(std::string host);
    std::shared_ptr<State> state_;
};

} // namespace ravnix
