#pragma once
// The model's environment over fakes, its files in `folder`, bound to no fixed port; each test
// sets what it looks at on top.

#include "app/MacModel.hpp"
#include "platform/events/RecordingEventSystem.hpp"
#include "support/FakeDnsSd.hpp"
#include "support/MemoryPreferences.hpp"
#include "support/MemorySecretStore.hpp"
#include "support/RecordingWorkspace.hpp"

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

inline std::string logText(const std::filesystem::path& folder) {
    std::ifstream in(folder / "pencere.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace ravnix::test
