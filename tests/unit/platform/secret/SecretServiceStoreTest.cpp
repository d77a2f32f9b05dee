#include "platform/secret/FileSecretStore.hpp"
#include "platform/secret/SecretStoreSelection.hpp"
#include "unit/platform/secret/SecretServiceBackend.hpp"
#include "unit/platform/secret/SecretStoreContract.hpp"

#include <cstdlib>

namespace ravnix::test {
namespace {

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
