#pragma once
// The pairing store over each secret-store backend (see the instantiations).

#include "pairing/PairingStore.hpp"
#include "unit/platform/secret/SecretBackends.hpp"

#include <chrono>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <vector>

namespace ravnix::test {

// 2024-05-01 12:00:00.25 UTC, and `offset` milliseconds later.
inline PairingRecord::Date testDate(int offset = 0) {
    using namespace std::chrono;
    return PairingRecord::Date::from(sys_days{year{2024} / 5 / 1} + hours(12) +
                                     milliseconds(250 + offset));
}

// A record as this side writes them: no lastSeenAt, no hosts.
inline PairingRecord testRecord(const std::string& id, std::uint32_t pairingID) {
    return {
        id,           "Telefon " + id,
        "iPhone15,2", std::vector<std::uint8_t>(32, static_cast<std::uint8_t>(pairingID * 7 + 1)),
        pairingID,    testDate(static_cast<int>(pairingID)),
        std::nullopt, std::nullopt};
}

class PairingStoreSuite : public testing::TestWithParam<SecretBackendFactory> {
  protected:
    void SetUp() override {
        std::string skipReason;
        backend = GetParam().make(skipReason);
        if (!backend) {
            GTEST_SKIP() << skipReason;
        }
        store = std::make_shared<PairingStore>(backend->store(), item.service, item.account);
        store->setOnEvent([this](const std::string& line) {
            std::lock_guard guard(eventsLock);
            events.push_back(line);
        });
    }

    std::vector<std::string> eventLines() const {
        std::lock_guard guard(eventsLock);
        return events;
    }
    // The item's bytes as the backend holds them.
    std::string stored() const {
        const auto bytes = backend->store()->read(item).bytes;
        return {bytes.begin(), bytes.end()};
    }

    const SecretItemAddress item{uniqueService("com.belvor.ravnix.pairings"), "v1"};
    std::unique_ptr<SecretBackend> backend;
    std::shared_ptr<PairingStore> store;

  private:
    mutable std::mutex eventsLock;
    std::vector<std::string> events;
};

} // namespace ravnix::test
