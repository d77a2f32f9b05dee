#include "pairing/ConnectionScenario.hpp"

#include <gtest/gtest.h>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace ravnix {
void PrintTo(const ConnectionScenario& scenario, std::ostream* os) {
    *os << "case " << scenario.value.index() << ": " << scenario.message();
}
} // namespace ravnix

namespace ravnix {
namespace {

using Scenario = ConnectionScenario;
using Route = ConnectionScenario::Route;
using Action = ConnectionScenario::Action;

// A paired desktop in view and answering over Wi-Fi; each test breaks one thing.
Scenario::Facts healthy() {
    return {.wifiEnabled = true,
            .pairedMacName = "Ofis",
            .macVisible = true,
            .discoveredMacName = "Ofis",
            .macResponding = true,
            .unpairedByMac = false,
            .route = Route::wifi};
}

TEST(ConnectionScenarioResolve, WifiOffWinsOverEverythingElse) {
    auto facts = healthy();
    facts.wifiEnabled = false;
    EXPECT_EQ(Scenario::resolve(facts), Scenario(Scenario::WifiOff{}));

    facts.unpairedByMac = true;
    facts.macVisible = false;
    EXPECT_EQ(Scenario::resolve(facts), Scenario(Scenario::WifiOff{}));
}

TEST(ConnectionScenarioResolve, PairedDesktopFromUnpairedThroughNoAnswer) {
    auto facts = healthy();
    facts.route = Route::airdrop;
    EXPECT_EQ(Scenario::resolve(facts), Scenario(Scenario::Connected{"Ofis", Route::airdrop}));

    facts.macResponding = false;
    EXPECT_EQ(Scenario::resolve(facts), Scenario(Scenario::PairedNoAnswer{"Ofis", Route::airdrop}));

    facts.macVisible = false;
    EXPECT_EQ(Scenario::resolve(facts), Scenario(Scenario::PairedNotFound{"Ofis"}));

    // Dropped by the desktop outranks not being in view.
    facts.unpairedByMac = true;
    EXPECT_EQ(Scenario::resolve(facts), Scenario(Scenario::UnpairedByMac{"Ofis"}));

    // The paired name, not the discovered one, is what the user is told about.
    facts.discoveredMacName = "Ev";
    EXPECT_EQ(Scenario::resolve(facts), Scenario(Scenario::UnpairedByMac{"Ofis"}));
}

TEST(ConnectionScenarioResolve, UnpairedPhoneOffersPairingOnlyWhileTheDesktopIsInView) {
    auto facts = healthy();
    facts.pairedMacName.reset();
    facts.discoveredMacName = "Ev";
    EXPECT_EQ(Scenario::resolve(facts), Scenario(Scenario::FoundNotPaired{"Ev"}));

    facts.macVisible = false;
    EXPECT_EQ(Scenario::resolve(facts), Scenario(Scenario::Searching{}));

    // Without a pairing there is nothing the desktop could have dropped.
    facts.macVisible = true;
    facts.unpairedByMac = true;
    EXPECT_EQ(Scenario::resolve(facts), Scenario(Scenario::FoundNotPaired{"Ev"}));
}

TEST(ConnectionScenarioText, MessagesAndActionsMatchTheTable) {
    struct Row {
        Scenario scenario;
        std::string message;
        std::optional<Action> action;
    };
    const std::vector<Row> rows{
        {Scenario::FoundNotPaired{"Ev"}, "Ev bulundu, henüz eşleşmediniz.", Action::pair},
        {Scenario::Connected{"Ev", Route::wifi}, "Ev · Wi-Fi ile bağlı", std::nullopt},
        {Scenario::Connected{"Ev", Route::airdrop}, "Ev · AirDrop ile bağlı", std::nullopt},
        {Scenario::PairedNoAnswer{"Ev", Route::wifi}, "Ev yanıt vermiyor. AirDrop'u deneyin.",
         Action::switchToAirdrop},
        {Scenario::PairedNoAnswer{"Ev", Route::airdrop},
         "Ev AirDrop ile yanıt vermiyor. Wi-Fi'ı deneyin.", Action::switchToWiFi},
        {Scenario::PairedNotFound{"Ev"}, "Ev görünmüyor. Mac açık ve uyanık mı?", std::nullopt},
        {Scenario::UnpairedByMac{"Ev"}, "Ev eşleştirmeyi kaldırmış. Yeniden eşleşmeniz gerekiyor.",
         Action::pair},
        {Scenario::WifiOff{},
         "Wi-Fi kapalı. Ravnix her iki bağlantı yolunda da Wi-Fi radyosunu kullanır.",
         Action::openSettings},
        {Scenario::Searching{}, "Mac aranıyor…", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message);
        EXPECT_EQ(row.scenario.message(), row.message);
        EXPECT_EQ(row.scenario.action(), row.action);
    }
}

} // namespace
} // namespace ravnix
