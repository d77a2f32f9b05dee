#pragma once
// DNS-SD through the system's avahi daemon (avahi-client over the system D-Bus, with a threaded
// poll of its own). Lives in ravnix_platform_avahi so that only programs that want the daemon
// link the library.
//
// The daemon may stop, restart (a package upgrade) or start after us: requests then wait, and
// every advertisement and browse is registered again as soon as a daemon runs.

#include "platform/network/DnsSd.hpp"

#include <expected>
#include <memory>
#include <string>

namespace ravnix {

class AvahiDnsSd final : public DnsSd {
  public:
    // Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set) and starts the client's
    // thread. Fails only when the bus cannot be reached; a daemon that does not run yet is
    // waited for. Any thread.
    static std::expected<std::shared_ptr<AvahiDnsSd>, NetworkError> create();

    // Any thread but the client's own. Operations still alive keep the client running; it
    // stops with the last of them.
    ~AvahiDnsSd() override;
    AvahiDnsSd(const AvahiDnsSd&) = delete;
    AvahiDnsSd& operator=(const AvahiDnsSd&) = delete;

    // A name collision (with another host, or another advertisement of this one) is settled
    // with the daemon's alternative names ("Mac" → "Mac #2") and reported as `registered`
    // with the new name.
    std::expected<OperationHandle, NetworkError>
    advertise(Advertisement advertisement, SerialQueue& queue, AdvertiseHandler onEvent) override;
    // Instances seen on several interfaces or protocols are reported once; `lost` comes when
    // the last of them goes.
    std::expected<OperationHandle, NetworkError> browse(std::string type, std::string domain,
                                                        bool includeTxt, SerialQueue& queue,
                                                        BrowseHandler onEvent) override;
    // Answers with an IPv4 address; a failure comes after the daemon's own timeout (about
    // five seconds) when the instance does not answer.
    std::expected<OperationHandle, NetworkError>
    resolve(ServiceEndpoint service, SerialQueue& queue, ResolveHandler onResult) override;
    // Available while the client talks to a running daemon.
    std::expected<OperationHandle, NetworkError>
    watchAvailability(SerialQueue& queue, AvailabilityHandler onChange) override;

    // Any thread. The host name the daemon announces (without ".local"); empty when unknown or
    // while no daemon runs.
    std::string hostName() const;

    struct Context; // the client and its poll, shared with the operations

  private:
    explicit AvahiDnsSd(std::shared_ptr<Context> context) noexcept;
    std::shared_ptr<Context> context_;
};

} // namespace ravnix
