#include "platform/HostFacts.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <set>
#include <sys/socket.h>

namespace ravnix {
namespace {

TEST(LocalAddresses, OnlyWiredAndWirelessIPv4OnceInSystemOrder) {
    const std::vector<InterfaceAddress> entries = {
        {"lo", AF_INET, "127.0.0.1"},
        {"enp3s0", AF_PACKET, std::nullopt},
        {"wlp2s0", AF_INET, "192.168.1.20"},
        {"en0", AF_INET6, "fe80::1c2d:3e4f"},
        {"utun3", AF_INET, "10.8.0.2"},
        {"docker0", AF_INET, "172.17.0.1"},
        {"veth12ab", AF_INET, "172.17.0.5"},
        {"br-4f2a", AF_INET, "172.18.0.1"},
        {"eth0", AF_INET, "10.0.0.5"},
        {"enp3s0", AF_INET, "192.168.1.20"}, // same address on a second interface
        {"en1", AF_INET, std::nullopt},      // getnameinfo failed
        {"en2", AF_INET, ""},
        {"wlan0", AF_INET, "10.0.0.6"},
        {"en0", AF_INET, "10.0.0.7"},
    };
    EXPECT_EQ(selectLocalAddresses(entries),
              (std::vector<std::string>{"192.168.1.20", "10.0.0.5", "10.0.0.6", "10.0.0.7"}));
}

TEST(LocalAddresses, TheSystemListHoldsDistinctNonLoopbackIPv4) {
    const auto addresses = localAddresses();
    std::set<std::string> seen;
    for (const auto& text : addresses) {
        in_addr address{};
        EXPECT_EQ(inet_pton(AF_INET, text.c_str(), &address), 1) << text;
        EXPECT_NE(ntohl(address.s_addr) >> 24, 127u) << text;
        EXPECT_TRUE(seen.insert(text).second) << text;
    }
}

} // namespace
} // namespace ravnix
