#include "platform/firewall/Firewall.hpp"

#include "platform/Command.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <unistd.h>

namespace ravnix {
namespace {

using namespace std::chrono_literals;

const IncomingPacket touch{IpProtocol::udp, 9931, "wlan0", "192.168.1.20"};
const IncomingPacket pairing{IpProtocol::tcp, 9932, "wlan0", "192.168.1.20"};
const IncomingPacket mdns{IpProtocol::udp, 5353, "wlan0", "224.0.0.251"};

// The shape firewalld gives its nftables table: a catch-all reject after the zone chains,
// where the zone's allow chain opens ssh and mDNS only.
std::string firewalldRuleset(const std::string& extraAllow) {
    return R"({"nftables": [
  {"metainfo": {"json_schema_version": 1}},
  {"table": {"family": "inet", "name": "firewalld", "handle": 1}},
  {"chain": {"family": "inet", "table": "firewalld", "name": "filter_INPUT", "handle": 1,
             "type": "filter", "hook": "input", "prio": 10, "policy": "accept"}},
  {"chain": {"family": "inet", "table": "firewalld", "name": "filter_INPUT_ZONES", "handle": 2}},
  {"chain": {"family": "inet", "table": "firewalld", "name": "filter_IN_public", "handle": 3}},
  {"chain": {"family": "inet", "table": "firewalld", "name": "filter_IN_public_allow", "handle": 4}},
  {"rule": {"family": "inet", "table": "firewalld", "chain": "filter_INPUT", "handle": 10, "expr": [
     {"match": {"op": "in", "left": {"ct": {"key": "state"}}, "right": ["established", "related"]}},
     {"accept": null}]}},
  {"rule": {"family": "inet", "table": "firewalld", "chain": "filter_INPUT", "handle": 11, "expr": [
     {"match": {"op": "==", "left": {"meta": {"key": "iifname"}}, "right": "lo"}}, {"accept": null}]}},
  {"rule": {"family": "inet", "table": "firewalld", "chain": "filter_INPUT", "handle": 12, "expr": [
     {"jump": {"target": "filter_INPUT_ZONES"}}]}},
  {"rule": {"family": "inet", "table": "firewalld", "chain": "filter_INPUT", "handle": 13, "expr": [
     {"match": {"op": "in", "left": {"ct": {"key": "state"}}, "right": "invalid"}}, {"drop": null}]}},
  {"rule": {"family": "inet", "table": "firewalld", "chain": "filter_INPUT", "handle": 14, "expr": [
     {"reject": {"type": "icmpx", "expr": "admin-prohibited"}}]}},
  {"rule": {"family": "inet", "table": "firewalld", "chain": "filter_INPUT_ZONES", "handle": 20, "expr": [
     {"match": {"op": "==", "left": {"meta": {"key": "iifname"}}, "right": "eth9"}},
     {"goto": {"target": "filter_IN_home"}}]}},
  {"rule": {"family": "inet", "table": "firewalld", "chain": "filter_INPUT_ZONES", "handle": 21, "expr": [
     {"goto": {"target": "filter_IN_public"}}]}},
  {"rule": {"family": "inet", "table": "firewalld", "chain": "filter_IN_public", "handle": 30, "expr": [
     {"jump": {"target": "filter_IN_public_allow"}}]}},
  {"rule": {"family": "inet", "table": "firewalld", "chain": "filter_IN_public_allow", "handle": 40, "expr": [
     {"match": {"op": "==", "left": {"payload": {"protocol": "tcp", "field": "dport"}}, "right": 22}},
     {"match": {"op": "in", "left": {"ct": {"key": "state"}}, "right": ["new", "untracked"]}},
     {"accept": null}]}},
  {"rule": {"family": "inet", "table": "firewalld", "chain": "filter_IN_public_allow", "handle": 41, "expr": [
     {"match": {"op": "==", "left": {"payload": {"protocol": "ip", "field": "daddr"}}, "right": "224.0.0.251"}},
     {"match": {"op": "==", "left": {"payload": {"protocol": "udp", "field": "dport"}}, "right": 5353}},
     {"accept": null}]}})" +
           extraAllow + "\n]}";
}

TEST(FirewallRules, NftablesWalksJumpsGotosAndTheCatchAllReject) {
    const auto closed = firewalldRuleset("");
    EXPECT_EQ(evaluateNftRuleset(closed, touch),
              (RuleVerdict{false, "nft inet firewalld/filter_INPUT #14"}));
    EXPECT_FALSE(evaluateNftRuleset(closed, pairing)->admitted);
    EXPECT_TRUE(evaluateNftRuleset(closed, mdns)->admitted);

    // Our ports in the allow chain, as a set and a range; a source-limited rule cannot be
    // decided and does not count.
    const auto opened = firewalldRuleset(R"(,
  {"rule": {"family": "inet", "table": "firewalld", "chain": "filter_IN_public_allow", "handle": 42, "expr": [
     {"match": {"op": "==", "left": {"payload": {"protocol": "udp", "field": "dport"}},
                "right": {"set": [9931, {"range": [9933, 9934]}]}}}, {"accept": null}]}},
  {"rule": {"family": "inet", "table": "firewalld", "chain": "filter_IN_public_allow", "handle": 43, "expr": [
     {"match": {"op": "==", "left": {"payload": {"protocol": "ip", "field": "saddr"}}, "right": "10.0.0.7"}},
     {"match": {"op": "==", "left": {"payload": {"protocol": "tcp", "field": "dport"}}, "right": 9932}},
     {"accept": null}]}})");
    EXPECT_TRUE(evaluateNftRuleset(opened, touch)->admitted);
    EXPECT_TRUE(
        evaluateNftRuleset(opened, {IpProtocol::udp, 9933, "wlan0", "192.168.1.20"})->admitted);
    EXPECT_FALSE(evaluateNftRuleset(opened, pairing)->admitted);

    // A drop policy without rules, a vmap on the port, and junk.
    const std::string policyDrop = R"({"nftables": [
  {"chain": {"family": "ip", "table": "filter", "name": "input", "type": "filter", "hook": "input",
             "prio": 0, "policy": "drop"}},
  {"rule": {"family": "ip", "table": "filter", "chain": "input", "handle": 3, "expr": [
     {"vmap": {"key": {"payload": {"protocol": "th", "field": "dport"}},
               "data": {"set": [[9931, {"accept": null}], [22, {"accept": null}]]}}}]}}]})";
    EXPECT_TRUE(evaluateNftRuleset(policyDrop, touch)->admitted);
    EXPECT_EQ(evaluateNftRuleset(policyDrop, pairing),
              (RuleVerdict{false, "nft ip filter/input policy drop"}));
    EXPECT_FALSE(evaluateNftRuleset("{not json", touch).has_value());
    EXPECT_FALSE(evaluateNftRuleset(R"({"nftables": 3})", touch).has_value());
}

TEST(FirewallRules, IptablesFollowsUserChainsToThePolicy) {
    // What ufw leaves in iptables: a drop policy and its own chains.
    const std::string rules = R"(# Generated by iptables-save
*nat
:PREROUTING ACCEPT [0:0]
-A PREROUTING -p udp --dport 9932 -j DROP
COMMIT
*filter
:INPUT DROP [0:0]
:ufw-before-input - [0:0]
:ufw-user-input - [0:0]
-A INPUT -j ufw-before-input
-A INPUT -j ufw-user-input
-A ufw-before-input -i lo -j ACCEPT
-A ufw-before-input -m conntrack --ctstate RELATED,ESTABLISHED -j ACCEPT
-A ufw-before-input -m conntrack --ctstate INVALID -j DROP
-A ufw-before-input -d 224.0.0.251/32 -p udp -m udp --dport 5353 -j ACCEPT
-A ufw-user-input -s 10.1.2.3/32 -p tcp -m tcp --dport 9932 -j ACCEPT
-A ufw-user-input -p udp -m multiport --dports 9931,9933:9934 -m comment --comment "ravnix touch" -j ACCEPT
-A ufw-user-input -p tcp -m tcp --dport 9940 -j REJECT --reject-with tcp-reset
COMMIT
)";
    EXPECT_TRUE(evaluateIptablesRules(rules, touch)->admitted);
    EXPECT_TRUE(evaluateIptablesRules(rules, mdns)->admitted);
    EXPECT_EQ(evaluateIptablesRules(rules, pairing),
              (RuleVerdict{false, "iptables INPUT policy DROP"}));
    EXPECT_FALSE(
        evaluateIptablesRules(rules, {IpProtocol::tcp, 9940, "wlan0", "192.168.1.20"})->admitted);
    EXPECT_TRUE(
        evaluateIptablesRules("-P INPUT ACCEPT\n-A INPUT ! -i wlan0 -j DROP\n", touch)->admitted);
    EXPECT_FALSE(evaluateIptablesRules("*nat\n:INPUT ACCEPT\n", touch).has_value());
}

TEST(FirewallRules, UfwTakesTheFirstRuleNamingThePortOrTheProfile) {
    const std::string status = R"(Status: active
Logging: on (low)
Default: deny (incoming), allow (outgoing), disabled (routed)
New profiles: skip

To                         Action      From
--                         ------      ----
22/tcp                     ALLOW IN    Anywhere
9933/udp                   DENY IN     Anywhere
9933                       ALLOW IN    Anywhere
9932/tcp                   ALLOW IN    192.168.1.0/24
Ravnix                     ALLOW IN    Anywhere
9931/udp (v6)              ALLOW IN    Anywhere (v6)
)";
    EXPECT_TRUE(parseUfwStatus(status).isActive);
    EXPECT_FALSE(ufwAdmits(status, IpProtocol::udp, 9933)); // the DENY comes first
    EXPECT_TRUE(ufwAdmits(status, IpProtocol::tcp, 9933));
    EXPECT_TRUE(ufwAdmits(status, IpProtocol::tcp, 9932)); // through the profile line
    EXPECT_FALSE(ufwAdmits("Status: active\n\nTo Action From\n-- ------ ----\n22 ALLOW Anywhere\n",
                           IpProtocol::udp, 9931));
    EXPECT_TRUE(ufwAdmits("Status: inactive\n", IpProtocol::udp, 9931));
}

// Tools scripted by name: an answer, a refusal, or not installed.
CommandRunner scripted(std::map<std::string, std::optional<CommandResult>> answers) {
    return [answers](std::span<const std::string> argv,
                     std::chrono::milliseconds) -> std::expected<CommandResult, PlatformError> {
        const auto found = answers.find(argv.front());
        if (found == answers.end() || !found->second) {
            return std::unexpected(PlatformError{"run(" + argv.front() + ")", ENOENT});
        }
        return *found->second;
    };
}

TEST(Firewall, TheFirstActiveFirewallDecidesAndNamesTheFix) {
    const std::vector<FirewallPort> ports{{IpProtocol::udp, 9931, ""},
                                          {IpProtocol::tcp, 9932, ""},
                                          {IpProtocol::udp, 5353, "224.0.0.251"}};
    const FirewalldQuery firewalld = [](const std::string& interfaceName,
                                        std::span<const FirewallPort> asked) {
        EXPECT_EQ(interfaceName, "wlan0");
        return std::optional(
            FirewalldAnswer{"home", false, std::vector<bool>(asked.size(), false)});
    };
    const auto byFirewalld =
        inspectFirewall(ports, "wlan0", "192.168.1.20", firewalld, scripted({}));
    EXPECT_EQ(byFirewalld.kind, FirewallFinding::Kind::firewalld);
    EXPECT_EQ(byFirewalld.closed, ports);
    EXPECT_EQ(byFirewalld.fix, "sudo firewall-cmd --permanent --zone=home --add-service=ravnix && "
                               "sudo firewall-cmd --reload");

    const FirewalldQuery absent = [](const std::string&, std::span<const FirewallPort>) {
        return std::optional<FirewalldAnswer>();
    };
    // ufw inactive, nftables with firewalld's shape: the nft fix names the deciding chain.
    const auto byNft = inspectFirewall(ports, "wlan0", "192.168.1.20", absent,
                                       scripted({{"ufw", CommandResult{0, "Status: inactive\n"}},
                                                 {"nft", CommandResult{0, firewalldRuleset("")}}}));
    EXPECT_EQ(byNft.kind, FirewallFinding::Kind::nftables);
    EXPECT_EQ(byNft.closed, (std::vector<FirewallPort>{ports[0], ports[1]}));
    EXPECT_EQ(byNft.fix,
              "sudo nft insert rule inet firewalld filter_INPUT udp dport 9931 accept && "
              "sudo nft insert rule inet firewalld filter_INPUT tcp dport 9932 accept");

    // No tool at all: nothing filters. Tools that refuse (no rights): unreadable, with a fix.
    EXPECT_EQ(inspectFirewall(ports, "wlan0", "192.168.1.20", absent, scripted({})).kind,
              FirewallFinding::Kind::none);
    const auto refused = inspectFirewall(ports, "wlan0", "192.168.1.20", absent,
                                         scripted({{"nft", CommandResult{1, ""}}}));
    EXPECT_EQ(refused.kind, FirewallFinding::Kind::unreadable);
    EXPECT_EQ(refused.fix, "sudo ravnix --doctor");
}

// The real nftables of a network namespace of our own, read through the real tools.
TEST(Firewall, ReadsTheRulesOfARealNftablesInANamespace) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "network namespaces need root";
    }
    const std::string ns = "ravnix-fw-" + std::to_string(::getpid());
    const auto run = [](std::vector<std::string> argv) { return runCommand(argv, 10s); };
    const auto made = run({"ip", "netns", "add", ns});
    if (!made || made->exitStatus != 0) {
        GTEST_SKIP() << "ip netns add failed: network namespaces are not available here";
    }
    struct Remove {
        std::string ns;
        ~Remove() { (void)runCommand(std::vector<std::string>{"ip", "netns", "del", ns}, 10s); }
    } remove{ns};
    const auto loaded =
        run({"ip", "netns", "exec", ns, "nft",
             "add table inet t; "
             "add chain inet t input { type filter hook input priority 0; policy accept; }; "
             "add rule inet t input udp dport 9931 counter drop"});
    if (!loaded || loaded->exitStatus != 0) {
        GTEST_SKIP() << "nft could not load rules in a namespace (is nftables installed?)";
    }
    const CommandRunner inNamespace = [ns](std::span<const std::string> argv,
                                           std::chrono::milliseconds limit) {
        std::vector<std::string> wrapped{"ip", "netns", "exec", ns};
        wrapped.insert(wrapped.end(), argv.begin(), argv.end());
        return runCommand(wrapped, limit);
    };
    const std::vector<FirewallPort> ports{{IpProtocol::udp, 9931, ""}, {IpProtocol::tcp, 9932, ""}};
    const auto finding = inspectFirewall(ports, "wlan0", "192.168.1.20", {}, inNamespace);
    EXPECT_EQ(finding.kind, FirewallFinding::Kind::nftables) << finding.name;
    EXPECT_EQ(finding.closed, std::vector<FirewallPort>{ports[0]});
    EXPECT_EQ(finding.fix, "sudo nft insert rule inet t input udp dport 9931 accept");
}

TEST(Command, CollectsOutputAndReportsMissingProgramsAndTimeouts) {
    const auto echoed = runCommand(std::vector<std::string>{"printf", "a\\nb"}, 5s);
    ASSERT_TRUE(echoed);
    EXPECT_EQ(*echoed, (CommandResult{0, "a\nb"}));
    EXPECT_EQ(runCommand(std::vector<std::string>{"false"}, 5s)->exitStatus, 1);
    EXPECT_EQ(runCommand(std::vector<std::string>{"ravnix-no-such-tool"}, 5s).error().code, ENOENT);
    EXPECT_EQ(runCommand(std::vector<std::string>{"sleep", "5"}, 50ms).error().code, ETIMEDOUT);
}

} // namespace
} // namespace ravnix
