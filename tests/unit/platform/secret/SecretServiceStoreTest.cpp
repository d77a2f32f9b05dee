#include "platform/secret/SecretServiceStore.hpp"

#include "platform/secret/FileSecretStore.hpp"
#include "platform/secret/SecretStoreSelection.hpp"
#include "support/TestService.hpp"
#include "unit/platform/secret/SecretBackends.hpp"

#include <cstdlib>

namespace ravnix::test {
namespace {

// Points this process's session bus at the fixture's; libsecret connects at its first call.
// Returns the skip reason when the fixture has no Secret Service.
std::string useKeyringBus() {
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

SecretBackendFactory secretServiceBackend() {
    return {"secretService", [](std::string& skipReason) -> std::unique_ptr<SecretBackend> {
                skipReason = useKeyringBus();
                if (!skipReason.empty()) {
                    return nullptr;
                }
                return std::make_unique<SecretServiceBackend>();
            }};
}

INSTANTIATE_TEST_SUITE_P(Keyring, SecretStoreContract, testing::Values(secretServiceBackend()),
                         secretBackendName);

TEST(SecretStoreSelection, TakesTheSecretServiceTheBusOffers) {
    if (const std::string skipReason = useKeyringBus(); !skipReason.empty()) {
        GTEST_SKIP() << skipReason;
    }
    EXPECT_EQ(secretServicePresence(sessionBusAddress()), SecretServicePresence::running);
    PathEnvironment environment;
    environment.home = "/home/nobody";
    const auto selection = selectSecretStore(SecretStoreKind::automatic, Paths(environment));
    EXPECT_NE(dynamic_cast<SecretServiceStore*>(selection.store.get()), nullptr);
    EXPECT_EQ(
        selection.logLine,
        "gizli bilgi deposu: secret-service (org.freedesktop.secrets) (veriyolunda calisiyor)");
}

TEST(SecretStoreSelection, FallsBackToFilesWithoutASessionBus) {
    TemporaryFolder folder;
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ::setenv("XDG_RUNTIME_DIR", folder.path().c_str(), 1); // holds no "bus" socket
    EXPECT_EQ(sessionBusAddress(), "");
    PathEnvironment environment;
    environment.home = "/home/nobody";
    const auto selection = selectSecretStore(SecretStoreKind::automatic, Paths(environment));
    EXPECT_NE(dynamic_cast<FileSecretStore*>(selection.store.get()), nullptr);
    EXPECT_EQ(selection.logLine,
              "gizli bilgi deposu: dosya /home/nobody/.local/share/ravnix/keychain "
              "(oturum veriyolu yok)");
}

} // namespace
} // namespace ravnix::test
