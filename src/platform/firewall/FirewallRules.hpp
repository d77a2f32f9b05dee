#pragma once
// Whether a host firewall lets in what a phone sends us, read from the firewall's own
// description of its rules. Each reader walks the input path the way the kernel would for one
// new incoming packet (a protocol, a destination port and the interface it arrives on) and
// tells whether that packet would be accepted. Conditions a reader cannot decide (a source
// address, a rate limit, a mark) make their rule not apply, so an answer is only "blocked"
// when a rule or policy that surely applies drops the packet.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace ravnix {

enum class IpProtocol : std::uint8_t { udp, tcp };

// One new packet arriving from the local network.
struct IncomingPacket {
    IpProtocol protocol = IpProtocol::udp;
    std::uint16_t port = 0;
    std::string interfaceName; // where it arrives, e.g. "wlan0"
    std::string destination;   // IPv4 text: our address, or 224.0.0.251 for mDNS
    bool operator==(const IncomingPacket&) const = default;
};

struct RuleVerdict {
    bool admitted = true;
    // The chain and rule (or "policy") that decided, for the message; empty when nothing did.
    std::string decidedBy;
    bool operator==(const RuleVerdict&) const = default;
};

// `nft -j list ruleset` output. Every base chain on the input hook of the ip and inet families
// is walked in priority order; an accept ends one base chain, a drop or reject ends them all.
// The error names what could not be read.
std::expected<RuleVerdict, std::string> evaluateNftRuleset(std::string_view json,
                                                           const IncomingPacket& packet);

// `iptables-save` (or `iptables -S`) output of the filter table: the INPUT chain with jumps to
// user chains, RETURN, and the chain's policy.
std::expected<RuleVerdict, std::string> evaluateIptablesRules(std::string_view rules,
                                                              const IncomingPacket& packet);

// `ufw status` output. Absent when ufw is inactive. Allowed when a rule names the port (with
// or without its protocol), a range holding it, or the application profile "Ravnix".
struct UfwStatus {
    bool isActive = false;
    bool operator==(const UfwStatus&) const = default;
};
UfwStatus parseUfwStatus(std::string_view status);
bool ufwAdmits(std::string_view status, IpProtocol protocol, std::uint16_t port);

} // namespace ravnix
