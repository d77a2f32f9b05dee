#include "platform/firewall/FirewallRules.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <charconv>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

namespace ravnix {

namespace {

using Json = nlohmann::json;

// What a condition says about our packet: it holds, it does not, or it cannot be told.
enum class Truth { yes, no, unknown };

Truth both(Truth a, Truth b) {
    if (a == Truth::no || b == Truth::no) {
        return Truth::no;
    }
    return a == Truth::yes && b == Truth::yes ? Truth::yes : Truth::unknown;
}

const char* protocolName(IpProtocol protocol) {
    return protocol == IpProtocol::udp ? "udp" : "tcp";
}

int protocolNumber(IpProtocol protocol) {
    return protocol == IpProtocol::udp ? 17 : 6;
}

std::optional<std::uint32_t> ipv4(std::string_view text) {
    const std::string copy(text);
    in_addr address{};
    if (inet_pton(AF_INET, copy.c_str(), &address) != 1) {
        return std::nullopt;
    }
    return ntohl(address.s_addr);
}

bool inPrefix(std::string_view address, std::string_view network, int length) {
    const auto a = ipv4(address);
    const auto n = ipv4(network);
    if (!a || !n || length < 0 || length > 32) {
        return false;
    }
    const std::uint32_t mask = length == 0 ? 0 : ~std::uint32_t{0} << (32 - length);
    return (*a & mask) == (*n & mask);
}

// Interface names in rules may end in a wildcard ("wl*" in nft, "wl+" in iptables).
bool interfaceMatches(std::string_view pattern, std::string_view name) {
    if (!pattern.empty() && (pattern.back() == '*' || pattern.back() == '+')) {
        return name.starts_with(pattern.substr(0, pattern.size() - 1));
    }
    return pattern == name;
}

std::optional<long> parseNumber(std::string_view text) {
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// ---------------------------------------------------------------- nftables

// A value of our packet as an nft expression reads it.
struct NftValue {
    enum class Kind { number, text, address } kind = Kind::number;
    long number = 0;
    std::string text;
};

class NftEvaluator {
  public:
    NftEvaluator(const Json& ruleset, const IncomingPacket& packet) : packet(packet) {
        for (const auto& item : ruleset) {
            if (!item.is_object()) {
                continue;
            }
            if (const auto chain = item.find("chain"); chain != item.end() && chain->is_object()) {
                chains.push_back(*chain);
            } else if (const auto rule = item.find("rule");
                       rule != item.end() && rule->is_object()) {
                rules[key(*rule, "chain")].push_back(*rule);
            } else if (const auto set = item.find("set"); set != item.end() && set->is_object()) {
                sets[key(*set, "name")] = set->value("elem", Json::array());
            } else if (const auto map = item.find("map"); map != item.end() && map->is_object()) {
                sets[key(*map, "name")] = map->value("elem", Json::array());
            }
        }
    }

    RuleVerdict run() {
        std::vector<const Json*> bases;
        for (const auto& chain : chains) {
            const std::string family = chain.value("family", "");
            if (chain.value("hook", "") == "input" && chain.value("type", "filter") == "filter" &&
                (family == "ip" || family == "inet")) {
                bases.push_back(&chain);
            }
        }
        std::stable_sort(bases.begin(), bases.end(),
                         [](const Json* a, const Json* b) { return priority(*a) < priority(*b); });
        for (const Json* base : bases) {
            const std::string where = base->value("family", "") + " " + base->value("table", "") +
                                      "/" + base->value("name", "");
            const Outcome outcome = walk(*base, 0);
            if (outcome.kind == Outcome::dropped) {
                return {false, outcome.decidedBy};
            }
            if (outcome.kind == Outcome::fellThrough && base->value("policy", "accept") == "drop") {
                return {false, "nft " + where + " policy drop"};
            }
        }
        return {true, ""};
    }

  private:
    struct Outcome {
        enum Kind { accepted, dropped, fellThrough } kind = fellThrough;
        std::string decidedBy;
    };

    static std::string key(const Json& object, const char* nameField) {
        return object.value("family", "") + "\n" + object.value("table", "") + "\n" +
               object.value(nameField, "");
    }

    static long priority(const Json& chain) {
        const auto prio = chain.find("prio");
        if (prio != chain.end() && prio->is_number_integer()) {
            return prio->get<long>();
        }
        return 0; // a named priority such as "filter" is 0
    }

    const Json* findChain(const std::string& family, const std::string& table,
                          const std::string& name) const {
        for (const auto& chain : chains) {
            if (chain.value("family", "") == family && chain.value("table", "") == table &&
                chain.value("name", "") == name) {
                return &chain;
            }
        }
        return nullptr;
    }

    Outcome walk(const Json& chain, int depth) {
        if (depth > 16) {
            return {}; // a jump loop: the kernel refuses those, so never reached in practice
        }
        const std::string family = chain.value("family", "");
        const std::string table = chain.value("table", "");
        const auto found = rules.find(key(chain, "name"));
        if (found == rules.end()) {
            return {};
        }
        for (const auto& rule : found->second) {
            const auto exprs = rule.find("expr");
            if (exprs == rule.end() || !exprs->is_array()) {
                continue;
            }
            Truth holds = Truth::yes;
            for (const auto& expr : *exprs) {
                if (!expr.is_object() || expr.empty()) {
                    continue;
                }
                const std::string name = expr.begin().key();
                const Json& body = expr.begin().value();
                const std::string where = "nft " + family + " " + table + "/" +
                                          chain.value("name", "") + " #" +
                                          std::to_string(rule.value("handle", 0));
                if (name == "match") {
                    holds = both(holds, match(body));
                } else if (name == "accept" || name == "drop" || name == "reject" ||
                           name == "jump" || name == "goto" || name == "return") {
                    if (holds != Truth::yes) {
                        break;
                    }
                    if (auto outcome = verdict(name, body, family, table, where, depth)) {
                        return *outcome;
                    }
                    break;
                } else if (name == "vmap") {
                    if (holds != Truth::yes) {
                        break;
                    }
                    const auto chosen = mapVerdict(body, family, table);
                    if (!chosen) {
                        break;
                    }
                    const std::string verdictName = chosen->begin().key();
                    const Json& verdictBody = chosen->begin().value();
                    if (auto outcome =
                            verdict(verdictName, verdictBody, family, table, where, depth)) {
                        return *outcome;
                    }
                    break;
                } else if (name == "counter" || name == "log" || name == "notrack" ||
                           name == "comment") {
                    continue; // no bearing on the packet's fate
                } else {
                    holds = both(holds, Truth::unknown); // limit, xt, mangle, fib...
                }
                if (holds == Truth::no) {
                    break;
                }
            }
        }
        return {};
    }

    // The chain's outcome after a verdict, or none when the walk goes on with the next rule
    // (a jump whose chain ended without deciding, or a verdict this reader does not know).
    std::optional<Outcome> verdict(const std::string& name, const Json& body,
                                   const std::string& family, const std::string& table,
                                   const std::string& where, int depth) {
        if (name == "accept") {
            return Outcome{Outcome::accepted, where};
        }
        if (name == "drop" || name == "reject") {
            return Outcome{Outcome::dropped, where};
        }
        if (name == "return") {
            return Outcome{};
        }
        if (name != "jump" && name != "goto") {
            return std::nullopt;
        }
        const std::string target = body.is_object() ? body.value("target", "") : "";
        const Json* next = findChain(family, table, target);
        if (next == nullptr) {
            return std::nullopt;
        }
        Outcome outcome = walk(*next, depth + 1);
        if (outcome.kind == Outcome::fellThrough && name == "jump") {
            return std::nullopt; // back in this chain, after the jump
        }
        return outcome; // a goto's chain ending ends this one too
    }

    // A vmap's entry for our packet's value, or none.
    std::optional<Json> mapVerdict(const Json& body, const std::string& family,
                                   const std::string& table) {
        if (!body.is_object()) {
            return std::nullopt;
        }
        const auto value = read(body.value("key", Json()));
        if (!value) {
            return std::nullopt;
        }
        Json entries = body.value("data", Json());
        if (entries.is_string()) {
            const std::string name = entries.get<std::string>();
            const auto found = sets.find(family + "\n" + table + "\n" + name.substr(1));
            entries = found == sets.end() ? Json::array() : found->second;
        } else if (entries.is_object() && entries.contains("set")) {
            entries = entries["set"];
        }
        if (!entries.is_array()) {
            return std::nullopt;
        }
        for (const auto& entry : entries) {
            if (entry.is_array() && entry.size() == 2 && contains(entry[0], *value) == Truth::yes &&
                entry[1].is_object() && !entry[1].empty()) {
                return entry[1];
            }
        }
        return std::nullopt;
    }

    // What our packet holds for the expression on a match's left side; none when unknown.
    // A protocol-specific field of another protocol is reported through `absent`.
    std::optional<NftValue> read(const Json& left, bool* absent = nullptr) const {
        if (!left.is_object()) {
            return std::nullopt;
        }
        if (const auto payload = left.find("payload"); payload != left.end()) {
            const std::string protocol = payload->value("protocol", "");
            const std::string field = payload->value("field", "");
            if ((protocol == "udp" || protocol == "tcp") && field == "dport") {
                if (protocol != protocolName(packet.protocol)) {
                    if (absent != nullptr) {
                        *absent = true;
                    }
                    return std::nullopt;
                }
                return NftValue{NftValue::Kind::number, packet.port, {}};
            }
            if (protocol == "th" && field == "dport") {
                return NftValue{NftValue::Kind::number, packet.port, {}};
            }
            if (protocol == "ip" && field == "protocol") {
                return NftValue{NftValue::Kind::text, 0, protocolName(packet.protocol)};
            }
            if (protocol == "ip" && field == "daddr") {
                return NftValue{NftValue::Kind::address, 0, packet.destination};
            }
            if (protocol == "ip6" || protocol == "icmpv6" || protocol == "icmp" ||
                protocol == "sctp" || protocol == "dccp" ||
                ((protocol == "udp" || protocol == "tcp") &&
                 protocol != protocolName(packet.protocol))) {
                if (absent != nullptr) {
                    *absent = true;
                }
            }
            return std::nullopt;
        }
        if (const auto meta = left.find("meta"); meta != left.end()) {
            const std::string key = meta->value("key", "");
            if (key == "l4proto") {
                return NftValue{NftValue::Kind::text, 0, protocolName(packet.protocol)};
            }
            if (key == "iifname" || key == "iif") {
                return NftValue{NftValue::Kind::text, 0, packet.interfaceName};
            }
            if (key == "nfproto") {
                return NftValue{NftValue::Kind::text, 0, "ipv4"};
            }
            if (key == "pkttype") {
                const bool multicast = packet.destination.starts_with("224.");
                return NftValue{NftValue::Kind::text, 0, multicast ? "multicast" : "host"};
            }
            return std::nullopt;
        }
        if (const auto ct = left.find("ct"); ct != left.end()) {
            if (ct->value("key", "") == "state") {
                return NftValue{NftValue::Kind::text, 0, "new"};
            }
            return std::nullopt;
        }
        return std::nullopt;
    }

    Truth equals(const Json& right, const NftValue& value) const {
        switch (value.kind) {
        case NftValue::Kind::number:
            if (right.is_number_integer()) {
                return right.get<long>() == value.number ? Truth::yes : Truth::no;
            }
            if (right.is_object() && right.contains("range") && right["range"].is_array() &&
                right["range"].size() == 2 && right["range"][0].is_number_integer() &&
                right["range"][1].is_number_integer()) {
                return right["range"][0].get<long>() <= value.number &&
                               value.number <= right["range"][1].get<long>()
                           ? Truth::yes
                           : Truth::no;
            }
            return right.is_string() ? Truth::no : Truth::unknown; // a service name: not ours
        case NftValue::Kind::text:
            if (right.is_string()) {
                const std::string text = right.get<std::string>();
                if (text == value.text || interfaceMatches(text, value.text)) {
                    return Truth::yes;
                }
                return Truth::no;
            }
            if (right.is_number_integer() && (value.text == "udp" || value.text == "tcp")) {
                const int number = value.text == "udp" ? 17 : 6;
                return right.get<long>() == number ? Truth::yes : Truth::no;
            }
            return Truth::unknown;
        case NftValue::Kind::address:
            if (right.is_string()) {
                return right.get<std::string>() == value.text ? Truth::yes : Truth::no;
            }
            if (right.is_object() && right.contains("prefix") && right["prefix"].is_object()) {
                const auto& prefix = right["prefix"];
                const std::string network = prefix.value("addr", "");
                if (!ipv4(network)) {
                    return Truth::no; // an IPv6 prefix never holds an IPv4 address
                }
                return inPrefix(value.text, network, prefix.value("len", -1)) ? Truth::yes
                                                                              : Truth::no;
            }
            return Truth::unknown;
        }
        return Truth::unknown;
    }

    // Whether `right` (a value, an anonymous set, a flag list or a named set) holds the value.
    Truth contains(const Json& right, const NftValue& value) const {
        const Json* elements = nullptr;
        Json named;
        if (right.is_object() && right.contains("set")) {
            elements = &right["set"];
        } else if (right.is_array()) {
            elements = &right;
        } else if (right.is_string() && right.get<std::string>().starts_with("@")) {
            return Truth::unknown; // resolved by the caller, which knows the table
        }
        if (elements == nullptr) {
            return equals(right, value);
        }
        if (!elements->is_array()) {
            return equals(*elements, value);
        }
        Truth result = Truth::no;
        for (const auto& element : *elements) {
            const Json& item = element.is_object() && element.contains("elem")
                                   ? element["elem"].value("val", element)
                                   : element;
            const Truth one = equals(item, value);
            if (one == Truth::yes) {
                return Truth::yes;
            }
            if (one == Truth::unknown) {
                result = Truth::unknown;
            }
        }
        return result;
    }

    Truth match(const Json& body) const {
        if (!body.is_object()) {
            return Truth::unknown;
        }
        bool absent = false;
        const auto value = read(body.value("left", Json()), &absent);
        if (!value) {
            return absent ? Truth::no : Truth::unknown;
        }
        Json right = body.value("right", Json());
        if (right.is_string() && right.get<std::string>().starts_with("@")) {
            // A named set of this rule's table; the caller's table is not known here, so any
            // table's set of that name is taken (names are per table, clashes are rare).
            const std::string name = right.get<std::string>().substr(1);
            for (const auto& [setKey, elements] : sets) {
                if (setKey.ends_with("\n" + name)) {
                    right = Json{{"set", elements}};
                    break;
                }
            }
        }
        const Truth holds = contains(right, *value);
        const std::string op = body.value("op", "==");
        if (op == "==" || op == "in") {
            return holds;
        }
        if (op == "!=") {
            return holds == Truth::unknown ? Truth::unknown
                                           : (holds == Truth::yes ? Truth::no : Truth::yes);
        }
        return Truth::unknown;
    }

    const IncomingPacket& packet;
    std::vector<Json> chains;
    std::map<std::string, std::vector<Json>> rules;
    std::map<std::string, Json> sets;
};

// ---------------------------------------------------------------- iptables

std::vector<std::string> splitArguments(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false;
    bool any = false;
    for (const char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (any) {
                words.push_back(word);
            }
            word.clear();
            any = false;
        } else {
            word.push_back(c);
            any = true;
        }
    }
    if (any) {
        words.push_back(word);
    }
    return words;
}

struct IptablesRule {
    std::vector<std::string> words;
    std::string text;
};

struct IptablesTable {
    std::map<std::string, std::string> policies;
    std::map<std::string, std::vector<IptablesRule>> chains;
};

bool portListHolds(std::string_view list, std::uint16_t port) {
    while (!list.empty()) {
        const auto comma = list.find(',');
        const std::string_view item = list.substr(0, comma);
        const auto colon = item.find(':');
        const auto low = parseNumber(item.substr(0, colon));
        const auto high =
            colon == std::string_view::npos ? low : parseNumber(item.substr(colon + 1));
        if (low && high && *low <= port && port <= *high) {
            return true;
        }
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    }
    return false;
}

Truth iptablesConditions(const std::vector<std::string>& words, const IncomingPacket& packet,
                         std::string& target, bool& isGoto) {
    Truth holds = Truth::yes;
    bool negate = false;
    for (std::size_t i = 2; i < words.size(); ++i) {
        const std::string& word = words[i];
        const bool hasValue = i + 1 < words.size();
        const std::string value = hasValue ? words[i + 1] : std::string();
        Truth one = Truth::yes;
        bool consumed = true;
        if (word == "!") {
            negate = true;
            continue;
        }
        if (word == "-j" || word == "--jump" || word == "-g" || word == "--goto") {
            target = value;
            isGoto = word == "-g" || word == "--goto";
            ++i;
            // Options of the target (such as --reject-with) follow; they decide nothing.
            break;
        }
        if (word == "-p" || word == "--protocol") {
            one = value == protocolName(packet.protocol) ||
                          value == std::to_string(protocolNumber(packet.protocol)) || value == "all"
                      ? Truth::yes
                      : Truth::no;
        } else if (word == "--dport" || word == "--destination-port" || word == "--dports" ||
                   word == "--destination-ports") {
            one = portListHolds(value, packet.port) ? Truth::yes : Truth::no;
        } else if (word == "-i" || word == "--in-interface") {
            one = interfaceMatches(value, packet.interfaceName) ? Truth::yes : Truth::no;
        } else if (word == "-d" || word == "--destination") {
            const auto slash = value.find('/');
            const int length =
                slash == std::string::npos
                    ? 32
                    : static_cast<int>(parseNumber(value.substr(slash + 1)).value_or(-1));
            one = inPrefix(packet.destination, value.substr(0, slash), length) ? Truth::yes
                                                                               : Truth::no;
        } else if (word == "--ctstate" || word == "--state") {
            one = value.find("NEW") != std::string::npos ? Truth::yes : Truth::no;
        } else if (word == "-m" || word == "--match" || word == "--comment") {
            one = Truth::yes; // which module a condition comes from, or a remark
        } else if (word == "-A" || word == "--append") {
            one = Truth::yes;
        } else if (word.starts_with("-")) {
            one = Truth::unknown; // a source, a limit, a mark...
            consumed = hasValue && !value.starts_with("-") && value != "!";
        } else {
            consumed = false;
            continue;
        }
        if (negate && one != Truth::unknown) {
            one = one == Truth::yes ? Truth::no : Truth::yes;
        }
        negate = false;
        holds = both(holds, one);
        if (consumed) {
            ++i;
        }
    }
    return holds;
}

struct IptablesOutcome {
    enum Kind { accepted, dropped, fellThrough } kind = fellThrough;
    std::string decidedBy;
};

IptablesOutcome walkIptables(const IptablesTable& table, const std::string& chain,
                             const IncomingPacket& packet, int depth) {
    const auto found = table.chains.find(chain);
    if (found == table.chains.end() || depth > 16) {
        return {};
    }
    for (const auto& rule : found->second) {
        std::string target;
        bool isGoto = false;
        if (iptablesConditions(rule.words, packet, target, isGoto) != Truth::yes) {
            continue;
        }
        if (target == "ACCEPT") {
            return {IptablesOutcome::accepted, "iptables " + rule.text};
        }
        if (target == "DROP" || target == "REJECT") {
            return {IptablesOutcome::dropped, "iptables " + rule.text};
        }
        if (target == "RETURN") {
            return {};
        }
        if (table.chains.contains(target)) {
            const IptablesOutcome outcome = walkIptables(table, target, packet, depth + 1);
            if (outcome.kind != IptablesOutcome::fellThrough || isGoto) {
                return outcome;
            }
        }
        // LOG, MARK and other non-deciding targets: on to the next rule.
    }
    return {};
}

} // namespace

std::expected<RuleVerdict, std::string> evaluateNftRuleset(std::string_view json,
                                                           const IncomingPacket& packet) {
    const Json document = Json::parse(json, nullptr, false);
    if (document.is_discarded() || !document.is_object() || !document.contains("nftables") ||
        !document["nftables"].is_array()) {
        return std::unexpected(std::string("nft: the ruleset is not the expected JSON"));
    }
    NftEvaluator evaluator(document["nftables"], packet);
    RuleVerdict verdict = evaluator.run();
    return verdict;
}

std::expected<RuleVerdict, std::string> evaluateIptablesRules(std::string_view rules,
                                                              const IncomingPacket& packet) {
    IptablesTable table;
    bool inFilter = true; // `iptables -S` prints the filter table without a header
    bool sawInput = false;
    while (!rules.empty()) {
        const auto newline = rules.find('\n');
        std::string_view line = rules.substr(0, newline);
        rules = newline == std::string_view::npos ? std::string_view() : rules.substr(newline + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
            line.remove_suffix(1);
        }
        if (line.starts_with("*")) {
            inFilter = line == "*filter";
            continue;
        }
        if (!inFilter || line.empty() || line.starts_with("#") || line == "COMMIT") {
            continue;
        }
        const auto words = splitArguments(line);
        if (words.size() >= 2 && words[0].starts_with(":")) {
            table.policies[words[0].substr(1)] = words[1];
            sawInput = sawInput || words[0] == ":INPUT";
        } else if (words.size() >= 3 && (words[0] == "-P" || words[0] == "--policy")) {
            table.policies[words[1]] = words[2];
            sawInput = sawInput || words[1] == "INPUT";
        } else if (words.size() >= 2 && (words[0] == "-N" || words[0] == "--new-chain")) {
            table.chains[words[1]];
        } else if (words.size() >= 2 && (words[0] == "-A" || words[0] == "--append")) {
            table.chains[words[1]].push_back({words, std::string(line)});
            sawInput = sawInput || words[1] == "INPUT";
        }
    }
    if (!sawInput) {
        return std::unexpected(std::string("iptables: no INPUT chain in the rules"));
    }
    const IptablesOutcome outcome = walkIptables(table, "INPUT", packet, 0);
    if (outcome.kind == IptablesOutcome::dropped) {
        return RuleVerdict{false, outcome.decidedBy};
    }
    if (outcome.kind == IptablesOutcome::fellThrough) {
        const auto policy = table.policies.find("INPUT");
        if (policy != table.policies.end() && policy->second == "DROP") {
            return RuleVerdict{false, "iptables INPUT policy DROP"};
        }
    }
    return RuleVerdict{true, outcome.decidedBy};
}

UfwStatus parseUfwStatus(std::string_view status) {
    return UfwStatus{status.find("Status: active") != std::string_view::npos};
}

bool ufwAdmits(std::string_view status, IpProtocol protocol, std::uint16_t port) {
    if (!parseUfwStatus(status).isActive) {
        return true;
    }
    // `ufw status verbose` names the default; plain `ufw status` implies ufw's own default.
    bool defaultAllows = status.find("allow (incoming)") != std::string_view::npos;
    bool inRules = false;
    while (!status.empty()) {
        const auto newline = status.find('\n');
        const std::string_view line = status.substr(0, newline);
        status =
            newline == std::string_view::npos ? std::string_view() : status.substr(newline + 1);
        if (line.starts_with("--")) {
            inRules = true;
            continue;
        }
        if (!inRules || line.empty()) {
            continue;
        }
        const auto words = splitArguments(line);
        // To [(v6)] [on IFACE] Action [IN] From
        std::size_t at = 1;
        while (at < words.size() && words[at] != "ALLOW" && words[at] != "DENY" &&
               words[at] != "REJECT" && words[at] != "LIMIT") {
            ++at;
        }
        if (at >= words.size() || line.find("(v6)") != std::string_view::npos) {
            continue;
        }
        std::size_t from = at + 1;
        if (from < words.size() && (words[from] == "IN" || words[from] == "OUT")) {
            if (words[from] == "OUT") {
                continue;
            }
            ++from;
        }
        if (from < words.size() && words[from] != "Anywhere") {
            continue; // a rule for some sources only
        }
        const std::string& to = words[0];
        bool names = false;
        if (to == "Ravnix") {
            names = true;
        } else {
            const auto slash = to.find('/');
            const std::string ports = to.substr(0, slash);
            const std::string proto = slash == std::string::npos ? "" : to.substr(slash + 1);
            names =
                (proto.empty() || proto == protocolName(protocol)) && portListHolds(ports, port);
        }
        if (names) {
            // ufw takes the first rule that matches.
            return words[at] == "ALLOW" || words[at] == "LIMIT";
        }
    }
    return defaultAllows;
}

} // namespace ravnix
