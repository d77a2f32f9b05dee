#pragma once
// The host firewall as a phone meets it: which firewall is active, whether it lets in each
// port we listen on, and the command that would open what it keeps closed. firewalld is asked
// over D-Bus (a separate library answers that, so the core does not link GIO); ufw, nftables
// and iptables are asked through their own tools.

#include "platform/Command.hpp"
#include "platform/firewall/FirewallRules.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ravnix {

struct FirewallPort {
    IpProtocol protocol = IpProtocol::udp;
    std::uint16_t port = 0;
    std::string destination; // empty: our own address; 224.0.0.251 for mDNS
    bool operator==(const FirewallPort&) const = default;
};

// What firewalld says over D-Bus, for the zone of the interface the phone comes in through.
struct FirewalldAnswer {
    std::string zone;
    bool ravnixService = false;  // the "ravnix" service is enabled in the zone
    std::vector<bool> portsOpen; // per asked port: its port, or a service holding it
    bool operator==(const FirewalldAnswer&) const = default;
};
// Absent when firewalld is not on the system bus.
using FirewalldQuery = std::function<std::optional<FirewalldAnswer>(
    const std::string& interfaceName, std::span<const FirewallPort> ports)>;

struct FirewallFinding {
    enum class Kind { none, firewalld, ufw, nftables, iptables, unreadable };
    Kind kind = Kind::none;
    std::string name;                 // "firewalld (bölge public)", "ufw", "nftables", ...
    std::vector<FirewallPort> closed; // the asked ports it keeps closed
    std::string decidedBy;            // the first closing rule, when the firewall says
    std::string fix;                  // a command that opens them; empty when nothing is closed
    bool operator==(const FirewallFinding&) const = default;
};

using CommandRunner = std::function<std::expected<CommandResult, PlatformError>(
    std::span<const std::string> argv, std::chrono::milliseconds limit)>;

// Asks firewalld first, then ufw, then the nftables ruleset, then iptables; the first that
// answers as active decides. `interfaceName` and `address` describe where a phone's packets
// arrive (a Wi-Fi or wired interface and its IPv4 address). Any thread; it blocks while the
// tools answer (a few seconds at most).
FirewallFinding inspectFirewall(std::span<const FirewallPort> ports,
                                const std::string& interfaceName, const std::string& address,
                                const FirewalldQuery& firewalld, const CommandRunner& run);

std::string describePort(const FirewallPort& port); // "9931/udp"

} // namespace ravnix
