#include "platform/firewall/FirewalldBus.hpp"

#include <gio/gio.h>
#include <memory>

namespace ravnix {

namespace {

constexpr const char* busName = "org.fedoraproject.FirewallD1";
constexpr const char* objectPath = "/org/fedoraproject/FirewallD1";
constexpr const char* mainInterface = "org.fedoraproject.FirewallD1";
constexpr const char* zoneInterface = "org.fedoraproject.FirewallD1.zone";
constexpr int replyLimitMs = 2000;

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct VariantUnref {
    void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
using Bus = std::unique_ptr<GDBusConnection, ObjectUnref>;
using Reply = std::unique_ptr<GVariant, VariantUnref>;

Reply call(GDBusConnection* bus, const char* interface, const char* method, GVariant* arguments,
           const GVariantType* replyType) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, busName, objectPath, interface, method, arguments, replyType,
        G_DBUS_CALL_FLAGS_NO_AUTO_START, replyLimitMs, nullptr, &error);
    if (error != nullptr) {
        g_error_free(error);
    }
    return Reply(reply);
}

std::optional<std::string> text(GDBusConnection* bus, const char* interface, const char* method,
                                GVariant* arguments) {
    const Reply reply = call(bus, interface, method, arguments, G_VARIANT_TYPE("(s)"));
    if (!reply) {
        return std::nullopt;
    }
    const gchar* value = nullptr;
    g_variant_get(reply.get(), "(&s)", &value);
    return std::string(value != nullptr ? value : "");
}

bool truth(GDBusConnection* bus, const char* method, GVariant* arguments) {
    const Reply reply = call(bus, zoneInterface, method, arguments, G_VARIANT_TYPE("(b)"));
    if (!reply) {
        return false;
    }
    gboolean value = FALSE;
    g_variant_get(reply.get(), "(b)", &value);
    return value != FALSE;
}

} // namespace

std::optional<FirewalldAnswer> queryFirewalldOverBus(const std::string& interfaceName,
                                                     std::span<const FirewallPort> ports) {
    GError* error = nullptr;
    Bus bus(g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error));
    if (!bus) {
        if (error != nullptr) {
            g_error_free(error);
        }
        return std::nullopt;
    }
    // An interface without a zone of its own falls in the default zone.
    auto zone = text(bus.get(), zoneInterface, "getZoneOfInterface",
                     g_variant_new("(s)", interfaceName.c_str()));
    if (!zone) {
        return std::nullopt; // firewalld is not on the bus
    }
    if (zone->empty()) {
        zone = text(bus.get(), mainInterface, "getDefaultZone", nullptr);
        if (!zone || zone->empty()) {
            return std::nullopt;
        }
    }
    FirewalldAnswer answer;
    answer.zone = *zone;
    answer.ravnixService =
        truth(bus.get(), "queryService", g_variant_new("(ss)", zone->c_str(), "ravnix"));
    for (const auto& port : ports) {
        const std::string number = std::to_string(port.port);
        const char* protocol = port.protocol == IpProtocol::udp ? "udp" : "tcp";
        bool open = truth(bus.get(), "queryPort",
                          g_variant_new("(sss)", zone->c_str(), number.c_str(), protocol));
        if (!open && port.port == 5353 && port.protocol == IpProtocol::udp) {
            open = truth(bus.get(), "queryService", g_variant_new("(ss)", zone->c_str(), "mdns"));
        }
        answer.portsOpen.push_back(open);
    }
    return answer;
}

} // namespace ravnix
