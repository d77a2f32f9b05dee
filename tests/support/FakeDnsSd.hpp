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
    // next alternative name ("Mac" → "Mac #2" → "Mac #3").
    std::expected<OperationHandle, NetworkError>
    advertise(Advertisement advertisement, SerialQueue& queue, AdvertiseHandler onEvent) override;
    std::expected<OperationHandle, NetworkError> browse(std::string type, std::string domain,
                                                        bool includeTxt, SerialQueue& queue,
                                                        BrowseHandler onEvent) override;
    // An instance that is not advertised fails at once (code -1, "not found").
    std::expected<OperationHandle, NetworkError>
    resolve(ServiceEndpoint service, SerialQueue& queue, ResolveHandler onResult) override;

    // Any thread. The services advertised right now, in name order.
    std::vector<ServiceEndpoint> advertised() const;

    struct State; // the registry, shared with the operations

  private:
    explicit FakeDnsSd(std::string host);
    std::shared_ptr<State> state_;
};

// The name DNS-SD daemons pick after a collision: "Mac" → "Mac #2", "Mac #2" → "Mac #3".
std::string alternativeServiceName(const std::string& name);

} // namespace ravnix
