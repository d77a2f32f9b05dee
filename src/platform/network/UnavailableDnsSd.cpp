#include "platform/network/UnavailableDnsSd.hpp"

namespace ravnix {

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

} // namespace ravnix
