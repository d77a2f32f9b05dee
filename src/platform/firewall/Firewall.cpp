#include "platform/firewall/Firewall.hpp"

namespace ravnix {

namespace {

using namespace std::chrono_literals;

constexpr auto toolLimit = 5s;

const char* protocolText(IpProtocol protocol) {
    return protocol == IpProtocol::udp ? "udp" : "tcp";
}

// The tool's output when it answered; `refused` is set when it is installed but refused
// (usually for want of the rights to read the rules).
std::optional<std::string> answerOf(const CommandRunner& run, std::vector<std::string> argv,
                                    bool& refused) {
    const auto result = run(argv, toolLimit);
    if (!result) {
        return std::nullopt;
    }
    if (result->exitStatus != 0) {
        refused = true;
        return std::nullopt;
    }
    return result->output;
}

// Closed ports of a rule-based firewall, with the first closing rule.
template <typename Evaluate>
bool collectClosed(std::span<const FirewallPort> ports, const std::string& interfaceName,
                   const std::string& address, Evaluate evaluate, FirewallFinding& finding) {
    for (const auto& port : ports) {
        const IncomingPacket packet{port.protocol, port.port, interfaceName,
                                    port.destination.empty() ? address : port.destination};
        const auto verdict = evaluate(packet);
        if (!verdict) {
            return false;
        }
        if (!verdict->admitted) {
            finding.closed.push_back(port);
            if (finding.decidedBy.empty()) {
                finding.decidedBy = verdict->decidedBy;
            }
        }
    }
    return true;
}

// The ruleset has a chain on the input hook at all: without one nothing is filtered.
bool filtersInput(std::string_view nftJson) {
    return nftJson.find("\"hook\": \"input\"") != std::string_view::npos ||
           nftJson.find("\"hook\":\"input\"") != std::string_view::npos;
}

} // namespace

std::string describePort(const FirewallPort& port) {
    return std::to_string(port.port) + "/" + protocolText(port.protocol);
}

FirewallFinding inspectFirewall(std::span<const FirewallPort> ports,
                                const std::string& interfaceName, const std::string& address,
                                const FirewalldQuery& firewalld, const CommandRunner& run) {
    FirewallFinding finding;
    if (firewalld) {
        if (const auto answer = firewalld(interfaceName, ports)) {
            finding.kind = FirewallFinding::Kind::firewalld;
            finding.name = "firewalld (bölge " + answer->zone + ")";
            for (std::size_t i = 0; i < ports.size(); ++i) {
                const bool open =
                    answer->ravnixService || (i < answer->portsOpen.size() && answer->portsOpen[i]);
                if (!open) {
                    finding.closed.push_back(ports[i]);
                }
            }
            if (!finding.closed.empty()) {
                finding.fix = "sudo firewall-cmd --permanent --zone=" + answer->zone +
                              " --add-service=ravnix && sudo firewall-cmd --reload";
            }
            return finding;
        }
    }

    bool permissionMissing = false;
    if (const auto result = run(std::vector<std::string>{"ufw", "status", "verbose"}, toolLimit)) {
        if (result->exitStatus == 0 && parseUfwStatus(result->output).isActive) {
            finding.kind = FirewallFinding::Kind::ufw;
            finding.name = "ufw";
            for (const auto& port : ports) {
                if (!ufwAdmits(result->output, port.protocol, port.port)) {
                    finding.closed.push_back(port);
                }
            }
            if (!finding.closed.empty()) {
                finding.fix = "sudo ufw allow Ravnix";
            }
            return finding;
        }
        permissionMissing = permissionMissing || result->exitStatus != 0;
    }

    if (const auto ruleset = answerOf(run, {"nft", "-j", "list", "ruleset"}, permissionMissing)) {
        if (!filtersInput(*ruleset)) {
            return finding; // nftables answers and filters nothing on input
        }
        finding.kind = FirewallFinding::Kind::nftables;
        finding.name = "nftables";
        const bool read = collectClosed(
            ports, interfaceName, address,
            [&](const IncomingPacket& packet) { return evaluateNftRuleset(*ruleset, packet); },
            finding);
        if (read && !finding.closed.empty()) {
            // "nft inet filter/input #4": insert before that rule, in the same chain.
            std::string family = "inet", table = "filter", chain = "input";
            const auto& by = finding.decidedBy;
            if (by.starts_with("nft ")) {
                const auto space = by.find(' ', 4);
                const auto slash = by.find('/', space);
                const auto end = by.find(' ', slash);
                if (space != std::string::npos && slash != std::string::npos) {
                    family = by.substr(4, space - 4);
                    table = by.substr(space + 1, slash - space - 1);
                    chain = by.substr(slash + 1, end == std::string::npos ? end : end - slash - 1);
                }
            }
            std::string commands;
            for (const auto& port : finding.closed) {
                commands += (commands.empty() ? "" : " && ") +
                            std::string("sudo nft insert rule ") + family + " " + table + " " +
                            chain + " " + protocolText(port.protocol) + " dport " +
                            std::to_string(port.port) + " accept";
            }
            finding.fix = commands;
        }
        if (read) {
            return finding;
        }
        finding = {};
    }

    if (const auto rules = answerOf(run, {"iptables-save", "-t", "filter"}, permissionMissing)) {
        finding.kind = FirewallFinding::Kind::iptables;
        finding.name = "iptables";
        if (collectClosed(
                ports, interfaceName, address,
                [&](const IncomingPacket& packet) { return evaluateIptablesRules(*rules, packet); },
                finding)) {
            std::string commands;
            for (const auto& port : finding.closed) {
                commands += (commands.empty() ? "" : " && ") +
                            std::string("sudo iptables -I INPUT -p ") +
                            protocolText(port.protocol) + " --dport " + std::to_string(port.port) +
                            " -j ACCEPT";
            }
            finding.fix = commands;
            return finding;
        }
        finding = {};
    }

    if (permissionMissing) {
        finding.kind = FirewallFinding::Kind::unreadable;
        finding.name = "okunamadı";
        finding.fix = "sudo ravnix --doctor";
    }
    return finding;
}

} // namespace ravnix
