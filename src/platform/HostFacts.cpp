#include "platform/HostFacts.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <ifaddrs.h>
#include <memory>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ravnix {

namespace {
bool isWiredOrWireless(std::string_view name) {
    return name.starts_with("en") || name.starts_with("eth") || name.starts_with("wl");
}

struct FreeInterfaceList {
    void operator()(ifaddrs* list) const noexcept { freeifaddrs(list); }
};
} // namespace

std::vector<std::string> selectLocalAddresses(std::span<const InterfaceAddress> entries) {
    std::vector<std::string> addresses;
    for (const auto& entry : entries) {
        if (entry.family != AF_INET || !isWiredOrWireless(entry.interfaceName) || !entry.host) {
            continue;
        }
        const std::string& host = *entry.host;
        if (host.empty() || std::ranges::find(addresses, host) != addresses.end()) {
            continue;
        }
        addresses.push_back(host);
    }
    return addresses;
}

std::vector<InterfaceAddress> interfaceAddresses() {
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0) {
        return {};
    }
    const std::unique_ptr<ifaddrs, FreeInterfaceList> list(raw);
    std::vector<InterfaceAddress> entries;
    for (const ifaddrs* item = list.get(); item != nullptr; item = item->ifa_next) {
        if (item->ifa_addr == nullptr || item->ifa_name == nullptr) {
            continue;
        }
        InterfaceAddress entry{item->ifa_name, item->ifa_addr->sa_family, std::nullopt};
        if (entry.family == AF_INET) {
            char host[NI_MAXHOST] = {};
            if (getnameinfo(item->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0,
                            NI_NUMERICHOST) == 0) {
                entry.host = std::string(host);
            }
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<std::string> localAddresses() {
    const auto entries = interfaceAddresses();
    return selectLocalAddresses(entries);
}

std::string hostDisplayName(std::string_view preferred) {
    if (!preferred.empty()) {
        return std::string(preferred);
    }
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') {
        return name;
    }
    return "Mac";
}

} // namespace ravnix
