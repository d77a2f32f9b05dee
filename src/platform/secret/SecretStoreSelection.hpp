#pragma once
// Which secret store the application uses: the Secret Service when the session bus offers one,
// else private files. Part of ravnix_platform_secret.

#include "platform/Paths.hpp"
#include "platform/secret/SecretStore.hpp"

#include <expected>
#include <memory>
#include <string>

namespace ravnix {

// The command line's --secret-store=auto|secret-service|file.
enum class SecretStoreKind { automatic, secretService, file };

struct SecretStoreSelection {
    std::shared_ptr<SecretStore> store;
    std::string logLine; // which store and why; the caller logs it once
};

// The session bus to ask: $DBUS_SESSION_BUS_ADDRESS, else "unix:path=$XDG_RUNTIME_DIR/bus"
// when that socket exists, else empty. Never starts a bus (GLib would try dbus-launch).
std::string sessionBusAddress();

// Whether the bus at `address` offers org.freedesktop.secrets: a connection owns the name,
// or the bus can start a service for it. The error text when the bus cannot be asked. Uses a
// private connection, closed before returning; each bus call waits at most two seconds.
enum class SecretServicePresence { absent, running, activatable };
std::expected<SecretServicePresence, std::string> secretServicePresence(const std::string& address);

// Blocks for the bus questions (automatic only). The file store keeps its items in
// paths.keychainFolder().
SecretStoreSelection selectSecretStore(SecretStoreKind kind, const Paths& paths);

} // namespace ravnix
