#pragma once
// Values shared by the network services: endpoints, TXT records and the error they fail with.

#include <compare>
#include <cstdint>
#include <map>
#include <string>
#include <variant>

namespace ravnix {

// A failed network or service-discovery operation.
struct NetworkError {
    std::string operation; // what was attempted, e.g. "connect(127.0.0.1:9931)"
    std::int32_t code = 0; // errno, or the DNS-SD backend's own (negative) error number
    std::string reason;    // the system's description of `code`

    // From an errno value; `reason` is strerror(code).
    static NetworkError fromErrno(std::string operation, int code);

    // operation + " başarısız: " + reason + " (" + code + ")"
    std::string text() const;
    bool operator==(const NetworkError&) const = default;
};

enum class Transport { tcp, udp };

// DNS-SD TXT record: text keys with text values, each key once. A key published without a
// value reads back with an empty value.
using TxtRecord = std::map<std::string, std::string>;

// A DNS-SD service instance. An empty domain means the default domain ("local").
struct ServiceEndpoint {
    std::string name; // instance name, e.g. "Mutfak"
    std::string type; // e.g. "_ravnix._tcp"
    std::string domain;

    auto operator<=>(const ServiceEndpoint&) const = default;
    bool operator==(const ServiceEndpoint&) const = default;
};

// A host (numeric IPv4 or IPv6 address, or a name) and a port.
struct HostEndpoint {
    std::string host;
    std::uint16_t port = 0;

    bool operator==(const HostEndpoint&) const = default;
};

using Endpoint = std::variant<ServiceEndpoint, HostEndpoint>;

} // namespace ravnix
