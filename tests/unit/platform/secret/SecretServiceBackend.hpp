#pragma once
// The Secret Service of the keyring fixture (tests/support/keyring.sh) as a test backend.

#include "platform/secret/SecretServiceStore.hpp"
#include "support/TestService.hpp"
#include "unit/platform/secret/SecretBackends.hpp"

#include <cstdlib>

namespace ravnix::test {

// Points this process's session bus at the fixture's; libsecret connects at its first call.
// Returns the skip reason when the fixture has no Secret Service.
inline std::string useKeyringBus() {
    const TestService keyring = loadTestService("keyring");
    if (!keyring.isAvailable()) {
        return "keyring: " + keyring.skipReason;
    }
    ::setenv("DBUS_SESSION_BUS_ADDRESS", keyring["DBUS_SESSION_BUS_ADDRESS"].c_str(), 1);
    return {};
}

class SecretServiceBackend final : public SecretBackend {
  public:
    std::shared_ptr<SecretStore> store() const override { return service; }
    const std::shared_ptr<SecretServiceStore> service = std::make_shared<SecretServiceStore>();
};

inline SecretBackendFactory secretServiceBackend() {
    return {"secretService", [](std::string& skipReason) -> std::unique_ptr<SecretBackend> {
                skipReason = useKeyringBus();
                if (!skipReason.empty()) {
                    return nullptr;
                }
                return std::make_unique<SecretServiceBackend>();
            }};
}

} // namespace ravnix::test
