#pragma once
// The connection doctor: why a phone may not find or reach this computer. It checks, one line
// each, the network addresses, the service-discovery daemon and our advertisements, the ports,
// a ping through the touch link, the firewall, the event backend and the secret store; a
// failing line names the command or setting that fixes it. Used by `ravnix --doctor`, the
// terminal's `doktor` and the panel's "Bağlantıyı denetle".

#include "platform/HostFacts.hpp"
#include "platform/firewall/Firewall.hpp"

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ravnix {

class DnsSd;

struct DoctorCheck {
    std::string name; // "ağ", "avahi", "duyuru", "portlar", "ping", "güvenlik duvarı", …
    bool passed = false;
    std::string detail; // what was found
    std::string fix;    // failed only: the command to run or the setting to change
    bool operator==(const DoctorCheck&) const = default;
};

// "[tamam] ağ: 192.168.1.20 (wlan0)" or "[HATA] ping: … Çözüm: …".
std::string doctorLine(const DoctorCheck& check);

struct DoctorSettings {
    std::uint16_t touchPort = 9931;
    std::uint16_t pairingPort = 9932;
    std::uint16_t peerPort = 9933;
    std::string macIdentifier; // whose advertisements count as ours
    bool operator==(const DoctorSettings&) const = default;
};

// What the service-discovery daemon shows of us.
struct AdvertisedServices {
    bool daemonReachable = false;
    std::string daemonProblem;                // why not, when it is not
    std::optional<std::uint16_t> pairingPort; // our "_ravnix._tcp", resolved
    std::optional<std::uint16_t> peerPort;    // our "_ravnix-p2p._udp", resolved
    bool operator==(const AdvertisedServices&) const = default;
};

// Whether something on this machine listens on a port, and on which address families.
struct PortListening {
    bool ipv4 = false;
    bool ipv6 = false;
    bool operator==(const PortListening&) const = default;
};

struct EventBackendStatus {
    std::string name; // "x11", "portal", "log", "none", …
    bool isTrusted = false;
    std::string problem; // why not trusted
    std::string fix;
    bool operator==(const EventBackendStatus&) const = default;
};

// The doctor's view of the machine. Every field is called once per run, from the running
// thread; each blocks for a few seconds at most.
struct DoctorProbes {
    std::function<std::vector<InterfaceAddress>()> interfaces;
    std::function<AdvertisedServices(const std::string& macIdentifier)> advertised;
    std::function<PortListening(IpProtocol protocol, std::uint16_t port)> listening;
    // The round trip of a ping to 127.0.0.1 on the touch port, or why there was none.
    std::function<std::expected<std::chrono::nanoseconds, std::string>(std::uint16_t port)> ping;
    std::function<FirewallFinding(std::span<const FirewallPort> ports,
                                  const std::string& interfaceName, const std::string& address)>
        firewall;
    std::function<EventBackendStatus()> events;
    // The secret store's name, or why it does not answer.
    std::function<std::expected<std::string, std::string>()> secrets;
};

// Runs every check in order. Any thread; takes as long as the probes (seconds).
std::vector<DoctorCheck> runDoctor(const DoctorSettings& settings, const DoctorProbes& probes);

// ---- the system's probes ----

// Asks `dnsSd` for our two services (TXT "mac" equal to the identifier) and resolves them,
// waiting at most `limit`.
AdvertisedServices browseOwnServices(DnsSd& dnsSd, const std::string& macIdentifier,
                                     std::chrono::milliseconds limit);
// From /proc/net/{udp,udp6,tcp,tcp6}: a bound UDP socket or a listening TCP socket.
PortListening listeningOn(IpProtocol protocol, std::uint16_t port);
// Parses one /proc/net table; a helper of listeningOn, public for its tests.
bool tableHasPort(std::string_view table, IpProtocol protocol, std::uint16_t port);
// One ping to 127.0.0.1:port and its pong, within `limit`.
std::expected<std::chrono::nanoseconds, std::string> pingTouchLink(std::uint16_t port,
                                                                   std::chrono::milliseconds limit);

} // namespace ravnix
