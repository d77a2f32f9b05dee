#include "unit/pairing/PairingStoreSuite.hpp"
#include "unit/platform/secret/SecretServiceBackend.hpp"

namespace ravnix::test {
namespace {

INSTANTIATE_TEST_SUITE_P(Keyring, PairingStoreSuite, testing::Values(secretServiceBackend()),
                         secretBackendName);

} // namespace
} // namespace ravnix::test
