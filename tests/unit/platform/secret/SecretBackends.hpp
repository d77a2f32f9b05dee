#pragma once
// The secret-store backends that the contract suite runs against, each made fresh for a
// test: memory, files in a temporary folder, and (SecretServiceStoreTest.cpp) the Secret Service
// of the keyring fixture.

#include "platform/secret/FileSecretStore.hpp"
#include "support/MemorySecretStore.hpp"
#include "unit/platform/TemporaryFolder.hpp"

#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace ravnix::test {

class SecretBackend {
  public:
    virtual ~SecretBackend() = default;
    virtual std::shared_ptr<SecretStore> store() const = 0;
};

struct SecretBackendFactory {
    std::string name;
    // Null with `skipReason` set when the backend is not available here.
    std::function<std::unique_ptr<SecretBackend>(std::string& skipReason)> make;
};

// Names the backend in test names and messages.
inline void PrintTo(const SecretBackendFactory& factory, std::ostream* out) {
    *out << factory.name;
}

inline std::string secretBackendName(const testing::TestParamInfo<SecretBackendFactory>& info) {
    return info.param.name;
}

inline std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

// The Secret Service outlives a test, so each test addresses items of its own.
inline std::string uniqueService(const std::string& base) {
    std::random_device device;
    return base + ".t" + std::to_string(device()) + std::to_string(device());
}

class MemoryBackend final : public SecretBackend {
  public:
    std::shared_ptr<SecretStore> store() const override { return memory; }
    const std::shared_ptr<MemorySecretStore> memory = std::make_shared<MemorySecretStore>();
};

class FileBackend final : public SecretBackend {
  public:
    FileBackend()
        : paths(PathEnvironment{
              .home = "", .configHome = "", .stateHome = "", .dataHome = folder.path().string()}),
          files(std::make_shared<FileSecretStore>(paths)) {}
    std::shared_ptr<SecretStore> store() const override { return files; }

    TemporaryFolder folder;
    const Paths paths;
    const std::shared_ptr<FileSecretStore> files;
};

inline SecretBackendFactory memoryBackend() {
    return {"memory", [](std::string&) { return std::make_unique<MemoryBackend>(); }};
}

inline SecretBackendFactory fileBackend() {
    return {"file", [](std::string& skipReason) -> std::unique_ptr<SecretBackend> {
                auto backend = std::make_unique<FileBackend>();
                if (backend->folder.path().empty()) {
                    skipReason = "no temporary folder";
                    return nullptr;
                }
                return backend;
            }};
}

// What every secret store must do (SecretStoreContract.cpp), run against each backend.
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
