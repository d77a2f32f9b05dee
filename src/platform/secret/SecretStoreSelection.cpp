#include "platform/secret/SecretStoreSelection.hpp"

#include "platform/secret/FileSecretStore.hpp"
#include "platform/secret/SecretServiceStore.hpp"

#include <cstdlib>
#include <filesystem>
#include <gio/gio.h>
#include <sys/stat.h>

namespace ravnix {

namespace {

constexpr const char* secretServiceName = "org.freedesktop.secrets";
constexpr int busCallTimeoutMilliseconds = 2000;

struct ConnectionClose {
    void operator()(GDBusConnection* connection) const noexcept {
        g_dbus_connection_close_sync(connection, nullptr, nullptr);
        g_object_unref(connection);
    }
};
using ConnectionPtr = std::unique_ptr<GDBusConnection, ConnectionClose>;

struct VariantUnref {
    void operator()(GVariant* variant) const noexcept { g_variant_unref(variant); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

struct ErrorFree {
    void operator()(GError* error) const noexcept { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;

std::string describe(const GError* error) {
    return error != nullptr && error->message != nullptr ? error->message : "bilinmeyen hata";
}

// One call to the bus daemon itself; null with `failure` set when it fails.
VariantPtr callBus(GDBusConnection* bus, const char* method, GVariant* arguments,
                   const char* replyType, std::string& failure) {
    GError* raw = nullptr;
    VariantPtr reply(g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
        arguments, G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NONE, busCallTimeoutMilliseconds,
        nullptr, &raw));
    const ErrorPtr error(raw);
    if (!reply) {
        failure = std::string(method) + ": " + describe(error.get());
    }
    return reply;
}

} // namespace

std::string sessionBusAddress() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        address != nullptr && *address != '\0') {
        return address;
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime != '/') {
        return {};
    }
    const std::filesystem::path socket = std::filesystem::path(runtime) / "bus";
    struct stat status {};
    if (::stat(socket.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode)) {
        return {};
    }
    // Address values carry bytes outside a small set %-escaped.
    static constexpr char hex[] = "0123456789abcdef";
    std::string address = "unix:path=";
    for (const char c : socket.string()) {
        const auto byte = static_cast<unsigned char>(c);
        const bool isPlain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                             (byte >= '0' && byte <= '9') || byte == '/' || byte == '.' ||
                             byte == '_' || byte == '-';
        if (isPlain) {
            address.push_back(c);
        } else {
            address.push_back('%');
            address.push_back(hex[byte >> 4]);
            address.push_back(hex[byte & 0x0F]);
        }
    }
    return address;
}

std::expected<SecretServicePresence, std::string>
secretServicePresence(const std::string& address) {
    if (address.empty()) {
        return std::unexpected("oturum veriyolu yok");
    }
    GError* raw = nullptr;
    const ConnectionPtr bus(g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &raw));
    const ErrorPtr error(raw);
    if (!bus) {
        return std::unexpected("oturum veriyoluna baglanilamadi: " + describe(error.get()));
    }
    std::string failure;
    const VariantPtr owned =
        callBus(bus.get(), "NameHasOwner", g_variant_new("(s)", secretServiceName), "(b)", failure);
    if (!owned) {
        return std::unexpected(failure);
    }
    gboolean hasOwner = FALSE;
    g_variant_get(owned.get(), "(b)", &hasOwner);
    if (hasOwner) {
        return SecretServicePresence::running;
    }
    const VariantPtr activatable =
        callBus(bus.get(), "ListActivatableNames", nullptr, "(as)", failure);
    if (!activatable) {
        return std::unexpected(failure);
    }
    const VariantPtr names(g_variant_get_child_value(activatable.get(), 0));
    gsize count = 0;
    const gchar** list = g_variant_get_strv(names.get(), &count); // borrows the strings
    bool isActivatable = false;
    for (gsize i = 0; i < count; ++i) {
        isActivatable = isActivatable || g_strcmp0(list[i], secretServiceName) == 0;
    }
    g_free(list);
    return isActivatable ? SecretServicePresence::activatable : SecretServicePresence::absent;
}

SecretStoreSelection selectSecretStore(SecretStoreKind kind, const Paths& paths) {
    const std::string prefix = "gizli bilgi deposu: ";
    const auto fileStore = [&](const std::string& reason) {
        auto store = std::make_shared<FileSecretStore>(paths);
        std::string line = prefix + store->description() + " (" + reason + ")";
        return SecretStoreSelection{std::move(store), std::move(line)};
    };
    const auto serviceStore = [&](const std::string& reason) {
        auto store = std::make_shared<SecretServiceStore>();
        std::string line = prefix + store->description() + " (" + reason + ")";
        return SecretStoreSelection{std::move(store), std::move(line)};
    };

    switch (kind) {
    case SecretStoreKind::file:
        return fileStore("istendi");
    case SecretStoreKind::secretService:
        return serviceStore("istendi");
    case SecretStoreKind::automatic:
        break;
    }
    const auto presence = secretServicePresence(sessionBusAddress());
    if (!presence) {
        return fileStore(presence.error());
    }
    switch (*presence) {
    case SecretServicePresence::running:
        return serviceStore("veriyolunda calisiyor");
    case SecretServicePresence::activatable:
        return serviceStore("veriyolu istek uzerine baslatir");
    case SecretServicePresence::absent:
        break;
    }
    return fileStore(std::string(secretServiceName) + " veriyolunda yok");
}

} // namespace ravnix
