#pragma once
// What every secret store must do, run against each backend (see the instantiations).

#include "unit/platform/secret/SecretBackends.hpp"

#include <gtest/gtest.h>

namespace ravnix::test {

class SecretStoreContract : public testing::TestWithParam<SecretBackendFactory> {
  protected:
    void SetUp() override {
        std::string skipReason;
        backend = GetParam().make(skipReason);
        if (!backend) {
            GTEST_SKIP() << skipReason;
        }
        store = backend->store();
    }

    std::unique_ptr<SecretBackend> backend;
    std::shared_ptr<SecretStore> store;
    const std::string service = uniqueService("com.belvor.ravnix.test");
};

} // namespace ravnix::test
