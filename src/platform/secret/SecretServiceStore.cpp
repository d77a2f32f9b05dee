#include "platform/secret/SecretServiceStore.hpp"

#include <libsecret/secret.h>
#include <memory>

namespace ravnix {

namespace {

// Owners of the C handles this backend receives.
struct ObjectUnref {
    void operator()(gpointer object) const noexcept { g_object_unref(object); }
};
template <class T> using ObjectPtr = std::unique_ptr<T, ObjectUnref>;

struct HashTableUnref {
    void operator()(GHashTable* table) const noexcept { g_hash_table_unref(table); }
};
using HashTablePtr = std::unique_ptr<GHashTable, HashTableUnref>;

struct ValueUnref {
    void operator()(SecretValue* value) const noexcept { secret_value_unref(value); }
};
using ValuePtr = std::unique_ptr<SecretValue, ValueUnref>;

struct ItemListFree {
    void operator()(GList* items) const noexcept { g_list_free_full(items, g_object_unref); }
};
using ItemListPtr = std::unique_ptr<GList, ItemListFree>;

// Receives what a GError** out-parameter is given, and frees it.
class ErrorSlot {
  public:
    ErrorSlot() = default;
    ~ErrorSlot() {
        if (error != nullptr) {
            g_error_free(error);
        }
    }
    ErrorSlot(const ErrorSlot&) = delete;
    ErrorSlot& operator=(const ErrorSlot&) = delete;

    GError** out() noexcept { return &error; }
    const GError* get() const noexcept { return error; }

  private:
    GError* error = nullptr;
};

const SecretSchema* itemSchema() {
    static const SecretSchema schema = [] {
        SecretSchema built{};
        built.name = SecretServiceStore::schemaName;
        built.flags = SECRET_SCHEMA_NONE;
        built.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        built.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return built;
    }();
    return &schema;
}

// D-Bus strings must be UTF-8 without NUL bytes.
bool isUsable(const SecretItemAddress& address) {
    const auto isText = [](const std::string& text) {
        return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr) == TRUE;
    };
    return isText(address.service) && isText(address.account);
}

HashTablePtr attributesFor(const SecretItemAddress& address) {
    HashTablePtr attributes(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
    g_hash_table_insert(attributes.get(), g_strdup("service"),
                        g_strndup(address.service.data(), address.service.size()));
    g_hash_table_insert(attributes.get(), g_strdup("account"),
                        g_strndup(address.account.data(), address.account.size()));
    return attributes;
}

ValuePtr valueFor(std::span<const std::uint8_t> bytes) {
    const auto* data = bytes.empty() ? "" : reinterpret_cast<const gchar*>(bytes.data());
    return ValuePtr(
        secret_value_new(data, static_cast<gssize>(bytes.size()), "application/octet-stream"));
}

SecretStatus statusFor(const GError* error) {
    if (error == nullptr) {
        return SecretStatusCode::serviceFailed;
    }
    if (error->domain == SECRET_ERROR) {
        return error->code == SECRET_ERROR_IS_LOCKED ? SecretStatusCode::locked
                                                     : SecretStatusCode::serviceFailed;
    }
    if (error->domain == G_DBUS_ERROR) {
        switch (error->code) {
        case G_DBUS_ERROR_SERVICE_UNKNOWN:
        case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
        case G_DBUS_ERROR_NO_REPLY:
        case G_DBUS_ERROR_TIMEOUT:
        case G_DBUS_ERROR_TIMED_OUT:
        case G_DBUS_ERROR_DISCONNECTED:
        case G_DBUS_ERROR_NO_SERVER:
        case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
        case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
        case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
            return SecretStatusCode::serviceUnavailable;
        default:
            return SecretStatusCode::serviceFailed;
        }
    }
    if (error->domain == G_IO_ERROR && error->code != G_IO_ERROR_DBUS_ERROR &&
        error->code != G_IO_ERROR_CANCELLED) {
        return SecretStatusCode::serviceUnavailable; // the connection itself failed
    }
    return SecretStatusCode::serviceFailed;
}

// The process's Secret Service proxy (libsecret keeps it after the first success); null with
// the status when the service cannot be reached.
ObjectPtr<SecretService> connect(SecretStatus& status) {
    ErrorSlot error;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error.out());
    if (bus == nullptr) {
        status = SecretStatusCode::serviceUnavailable;
        return nullptr;
    }
    // GLib ends the process when its shared session connection closes; a desktop session
    // ending is not for a secret store to act on.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    g_object_unref(bus);
    ObjectPtr<SecretService> service(
        secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, error.out()));
    if (!service) {
        const SecretStatus failure = statusFor(error.get());
        status = failure == SecretStatusCode::serviceFailed ? SecretStatusCode::serviceUnavailable
                                                            : failure;
    }
    return service;
}

struct Search {
    SecretStatus status = SecretStatusCode::success;
    ObjectPtr<SecretItem> item; // the first match when status is success
};

Search findItem(SecretService* service, GHashTable* attributes, int flags) {
    ErrorSlot error;
    ItemListPtr items(secret_service_search_sync(service, itemSchema(), attributes,
                                                 static_cast<SecretSearchFlags>(flags), nullptr,
                                                 error.out()));
    if (error.get() != nullptr) {
        return {statusFor(error.get()), nullptr};
    }
    if (!items) {
        return {SecretStatusCode::itemNotFound, nullptr};
    }
    return {SecretStatusCode::success,
            ObjectPtr<SecretItem>(SECRET_ITEM(g_object_ref(items.get()->data)))};
}

} // namespace

SecretReadResult SecretServiceStore::read(const SecretItemAddress& address) {
    if (!isUsable(address)) {
        return {SecretStatusCode::invalidAddress, {}};
    }
    SecretStatus status = SecretStatusCode::success;
    const auto service = connect(status);
    if (!service) {
        return {status, {}};
    }
    const auto attributes = attributesFor(address);
    const Search found = findItem(service.get(), attributes.get(),
                                  SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS);
    if (found.status != SecretStatusCode::success) {
        return {found.status, {}};
    }
    // The secret is loaded only for an unlocked item: none means the unlock was refused.
    const ValuePtr value(secret_item_get_secret(found.item.get()));
    if (!value) {
        return {SecretStatusCode::locked, {}};
    }
    gsize length = 0;
    const auto* data =
        reinterpret_cast<const std::uint8_t*>(secret_value_get(value.get(), &length));
    return {SecretStatusCode::success, std::vector<std::uint8_t>(data, data + length)};
}

SecretStatus SecretServiceStore::update(const SecretItemAddress& address,
                                        std::span<const std::uint8_t> bytes) {
    if (!isUsable(address)) {
        return SecretStatusCode::invalidAddress;
    }
    SecretStatus status = SecretStatusCode::success;
    const auto service = connect(status);
    if (!service) {
        return status;
    }
    const auto attributes = attributesFor(address);
    const Search found = findItem(service.get(), attributes.get(), SECRET_SEARCH_UNLOCK);
    if (found.status != SecretStatusCode::success) {
        return found.status;
    }
    const ValuePtr value = valueFor(bytes);
    ErrorSlot error;
    if (!secret_item_set_secret_sync(found.item.get(), value.get(), nullptr, error.out())) {
        return statusFor(error.get());
    }
    return SecretStatusCode::success;
}

SecretStatus SecretServiceStore::add(const SecretItemAddress& address,
                                     std::span<const std::uint8_t> bytes,
                                     [[maybe_unused]] SecretAccessibility accessibility) {
    if (!isUsable(address)) {
        return SecretStatusCode::invalidAddress;
    }
    SecretStatus status = SecretStatusCode::success;
    const auto service = connect(status);
    if (!service) {
        return status;
    }
    const auto attributes = attributesFor(address);
    const Search found = findItem(service.get(), attributes.get(), SECRET_SEARCH_NONE);
    if (found.status == SecretStatusCode::success) {
        return SecretStatusCode::duplicateItem;
    }
    if (found.status != SecretStatusCode::itemNotFound) {
        return found.status;
    }
    const ValuePtr value = valueFor(bytes);
    ErrorSlot error;
    if (!secret_service_store_sync(service.get(), itemSchema(), attributes.get(),
                                   SECRET_COLLECTION_DEFAULT, itemLabel, value.get(), nullptr,
                                   error.out())) {
        return statusFor(error.get());
    }
    return SecretStatusCode::success;
}

} // namespace ravnix
