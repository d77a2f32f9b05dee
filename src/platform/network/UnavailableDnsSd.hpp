#pragma once
// DNS-SD when no daemon answers: every request fails at once with the error that said so, so
// that the services that advertise report it in their own words while the program runs on.

#include "platform/network/DnsSd.hpp"

namespace ravnix {

class UnavailableDnsSd final : public DnsSd {
  public:
    explicit UnavailableDnsSd(NetworkError reason) : reason_(std::move(reason)) {}

    std::expected<OperationHandle, NetworkError>
    advertise(Advertisement advertisement, SerialQueue& queue, AdvertiseHandler onEvent) override;
    std::expected<OperationHandle, NetworkError> browse(std::string type, std::string domain,
                                                        bool includeTxt, SerialQueue& queue,
                                                        BrowseHandler onEvent) override;
    std::expected<OperationHandle, NetworkError>
    resolve(ServiceEndpoint service, SerialQueue& queue, ResolveHandler onResult) override;
    // Reports "unavailable" with the reason once; nothing changes afterwards.
    std::expected<OperationHandle, NetworkError>
    watchAvailability(SerialQueue& queue, AvailabilityHandler onChange) override;

    const NetworkError& reason() const noexcept { return reason_; }

  private:
    const NetworkError reason_;
};

} // namespace ravnix
