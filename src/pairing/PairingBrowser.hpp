#pragma once
// The phone's end of pairing: finds desktops advertising "_ravnix._tcp", connects to the one
// the user picks, runs the initiator side of the key agreement, reports the confirmation code,
// sends the user's decision and reports the desktop's result with everything the phone stores.
//
// Threads: everything runs on the serial queue "com.belvor.ravnix.pairing.browser", and so do
// the callbacks. Every public method may be called from any thread but a callback's.

#include "pairing/PairingMessages.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/PlatformError.hpp"
#include "platform/network/Browser.hpp"
#include "platform/network/DnsSd.hpp"
#include "platform/network/NetworkTypes.hpp"

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ravnix {

class PairingBrowser {
  public:
    struct DiscoveredMac {
        std::string id;   // TXT "mac", or the service name without one
        std::string name; // the service name, which is the desktop's name
        std::uint16_t touchPort = 9931;
        Endpoint endpoint; // what to connect to
        bool operator==(const DiscoveredMac&) const = default;
    };

    struct Identity {
        std::string deviceID;
        std::string displayName;
        std::string model;
        bool operator==(const Identity&) const = default;
    };

    struct PairingStep {
        struct Code {
            std::string code;
            bool operator==(const Code&) const = default;
        };
        struct Accepted {
            std::vector<std::uint8_t> key; // 32 bytes of pairing key material
            std::uint32_t pairingID = 0;
            std::string macIdentifier;
            std::string macName;
            std::vector<std::string> hosts;
            bool operator==(const Accepted&) const = default;
        };
        struct Failed {
            std::string text;
            bool operator==(const Failed&) const = default;
        };
        struct Rejected {
            bool operator==(const Rejected&) const = default;
        };
        using Case = std::variant<Code, Accepted, Failed, Rejected>;
        Case value;
        bool operator==(const PairingStep&) const = default;
    };

    using DiscoveryHandler = std::function<void(const std::vector<DiscoveredMac>&)>;
    using StepHandler = std::function<void(const PairingStep&)>;

    // Creates the queue; browses and resolves through `dnsSd`.
    static std::expected<std::shared_ptr<PairingBrowser>, PlatformError>
    make(std::shared_ptr<DnsSd> dnsSd);
    // Ends browsing and any attempt and joins the queue. Not from a callback.
    ~PairingBrowser();
    PairingBrowser(const PairingBrowser&) = delete;
    PairingBrowser& operator=(const PairingBrowser&) = delete;

    // Install before start() or pair().
    void setOnDiscovery(DiscoveryHandler handler);
    void setOnStep(StepHandler handler);

    // Begins browsing; does nothing when already browsing.
    void start();
    void stop();

    void pair(DiscoveredMac mac, Identity identity);
    void confirm(bool accepted);
    void cancel();

    // The list reported to onDiscovery for a set of browse results: sorted by name, byte-wise.
    static std::vector<DiscoveredMac> discoveredMacs(const std::vector<Browser::Result>& results);
    // The TXT "udp" value as a port: decimal with an optional "+", 9931 when empty or bad.
    static std::uint16_t touchPortFrom(std::string_view text);
    // The hosts stored with an accepted pairing: the connected host without any "%scope",
    // then the offered addresses not already present, in their order.
    static std::vector<std::string> hostsList(const std::optional<HostEndpoint>& connected,
                                              const std::vector<std::string>& offered);

  private:
    struct Core; // shared with the handlers, which never hold this object itself
    PairingBrowser(std::shared_ptr<Core> core, std::unique_ptr<DispatchQueue> queue);

    std::shared_ptr<Core> core;
    std::unique_ptr<DispatchQueue> queue; // joined in the destructor, on the owner's thread
};

} // namespace ravnix
