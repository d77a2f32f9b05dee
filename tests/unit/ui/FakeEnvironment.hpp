#pragma once
// The model's environment over fakes, its files in `folder`, bound to no fixed port; each test
// sets what it looks at on top.

#include "app/MacModel.hpp"
#include "platform/AsioMainQueue.hpp"
#include "platform/events/RecordingEventSystem.hpp"
#include "security/PairingHandshake.hpp"
#include "support/FakeDnsSd.hpp"
#include "support/MemoryPreferences.hpp"
#include "support/MemorySecretStore.hpp"
#include "support/RecordingWorkspace.hpp"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace ravnix::test {

inline MacModel::Environment fakeEnvironment(const std::filesystem::path& folder,
                                             std::shared_ptr<SerialQueue> main,
                                             std::shared_ptr<EventSystem> events) {
    MacModel::Environment environment;
    environment.mainQueue = std::move(main);
    environment.events = std::move(events);
    environment.preferences = std::make_shared<MemoryPreferences>();
    environment.secrets = std::make_shared<MemorySecretStore>();
    environment.dnsSd = FakeDnsSd::create();
    environment.workspace = std::make_shared<RecordingWorkspace>();
    environment.log = std::make_shared<ApplicationLog>(folder / "pencere.log");
    environment.clickLog = folder / "tiklama.log";
    environment.motionLog = folder / "hareket.csv";
    environment.port = 0;
    environment.pairingPort = 0;
    environment.peerPort = 0;
    return environment;
}

// An event system that says why its events do not arrive, as a lost display or a refused
// portal does.
class ExplainedEvents final : public RecordingEventSystem {
  public:
    std::optional<std::string> untrustedReason() override { return reason; }
    std::optional<std::string> reason;
};

// A request as the pairing listener makes it, from two real handshakes.
inline PairingListener::Request
pairingRequest(std::string name, std::string deviceID = "5B1C3B8E-0F7A-4C1B-9E2D-7A6F4C3B2A10",
               bool phoneAccepted = false) {
    auto phone = PairingHandshake::make(Pairing::Role::initiator).value();
    auto desktop = PairingHandshake::make(Pairing::Role::responder).value();
    auto outcome = desktop.complete(phone.publicKey()).value();
    const auto& key = phone.publicKey();
    PairingHello hello{std::move(deviceID), std::move(name), "iPhone15,2",
                       std::vector<std::uint8_t>(key.begin(), key.end())};
    return {hello, outcome.code, outcome, phoneAccepted};
}

// Runs `queue` until `done` holds, for at most five seconds.
template <typename Predicate> bool runUntil(AsioMainQueue& queue, Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        queue.runFor(std::chrono::milliseconds(10));
    }
    return true;
}

inline std::string logText(const std::filesystem::path& folder) {
    std::ifstream in(folder / "pencere.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace ravnix::test
