#pragma once
// Facts about this computer that the pairing and onboarding screens show: its IPv4 addresses
// and the name the user knows it by.

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ravnix {

// One entry of the system's interface address list.
struct InterfaceAddress {
    std::string interfaceName;       // "enp3s0", "wlan0", "lo"
    int family = 0;                  // AF_INET, AF_INET6, AF_PACKET, …
    std::optional<std::string> host; // numeric host text; absent when it could not be made
};

// The addresses worth telling a phone about, from entries in system order: IPv4 only, of
// interfaces whose names begin with "en", "eth" or "wl" (wired and Wi-Fi; not loopback,
// tunnels, bridges or containers); without absent or empty texts and without repeats; in the
// order given.
std::vector<std::string> selectLocalAddresses(std::span<const InterfaceAddress> entries);

// The system's interface address list (getifaddrs), IPv4 hosts filled in; empty when it cannot
// be read. Any thread.
std::vector<InterfaceAddress> interfaceAddresses();

// selectLocalAddresses() over interfaceAddresses(). Any thread.
std::vector<std::string> localAddresses();

// The name the user knows this computer by: `preferred` (such as the host name that the
// service-discovery daemon announces) when it is not empty, else gethostname(), else "Mac".
// Any thread.
std::string hostDisplayName(std::string_view preferred = {});

} // namespace ravnix
