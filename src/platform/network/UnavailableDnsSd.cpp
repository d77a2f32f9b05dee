#include "platform/network/UnavailableDnsSd.hpp"

#include "platform/network/detail/EventSink.hpp"

namespace ravnix {

namespace {

// Stops the one report from running once the watch is given up.
class Watch final : public DnsSd::Operation {
  public:
    explicit Watch(std::shared_ptr<detail::EventSink<DnsSd::Availability>> sink)
        : sink_(std::move(sink)) {}
    ~Watch() override { sink_->close(); }

  private:
    std::shared_ptr<detail::EventSink<DnsSd::Availability>> sink_;
};

} // namespace

std::expected<DnsSd::OperationHandle, NetworkError>
UnavailableDnsSd::advertise(Advertisement, SerialQueue&, AdvertiseHandler) {
    return std::unexpected(reason_);
}

std::expected<DnsSd::OperationHandle, NetworkError>
UnavailableDnsSd::browse(std::string, std::string, bool, SerialQueue&, BrowseHandler) {
    return std::unexpected(reason_);
}

std::expected<DnsSd::OperationHandle, NetworkError>
UnavailableDnsSd::resolve(ServiceEndpoint, SerialQueue&, ResolveHandler) {
    return std::unexpected(reason_);
}

std::expected<DnsSd::OperationHandle, NetworkError>
UnavailableDnsSd::watchAvailability(SerialQueue& queue, AvailabilityHandler onChange) {
    auto sink = std::make_shared<detail::EventSink<Availability>>(queue, std::move(onChange));
    sink->post({false, reason_});
    return std::make_unique<Watch>(std::move(sink));
}

} // namespace ravnix
