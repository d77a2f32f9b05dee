#include "pairing/ConnectionScenario.hpp"

namespace ravnix {

namespace {

template <typename... Fs> struct Overloaded : Fs... { using Fs::operator()...; };
template <typename... Fs> Overloaded(Fs...) -> Overloaded<Fs...>;

std::string joined(const std::string& macName, std::string_view text) {
    std::string line;
    line.reserve(macName.size() + text.size());
    line.append(macName).append(text);
    return line;
}

} // namespace

std::string_view rawValue(ConnectionScenario::Route route) noexcept {
    switch (route) {
    case ConnectionScenario::Route::wifi:
        return "wifi";
    case ConnectionScenario::Route::airdrop:
        return "airdrop";
    }
    return {};
}

std::optional<ConnectionScenario::Route>
ConnectionScenario::routeFromRawValue(std::string_view text) noexcept {
    for (const Route route : allRoutes) {
        if (rawValue(route) == text) {
            return route;
        }
    }
    return std::nullopt;
}

ConnectionScenario ConnectionScenario::resolve(const Facts& facts) {
    if (!facts.wifiEnabled) {
        return WifiOff{};
    }
    if (!facts.pairedMacName) {
        // A name heard once over Bonjour is not enough: offer pairing only while it is in view.
        if (facts.discoveredMacName && facts.macVisible) {
            return FoundNotPaired{*facts.discoveredMacName};
        }
        return Searching{};
    }
    const std::string& name = *facts.pairedMacName;
    if (facts.unpairedByMac) {
        return UnpairedByMac{name};
    }
    if (!facts.macVisible) {
        return PairedNotFound{name};
    }
    if (facts.macResponding) {
        return Connected{name, facts.route};
    }
    return PairedNoAnswer{name, facts.route};
}

std::string ConnectionScenario::message() const {
    return std::visit(
        Overloaded{
            [](const FoundNotPaired& s) {
                return joined(s.macName, " bulundu, henüz eşleşmediniz.");
            },
            [](const Connected& s) {
                return joined(s.macName, s.route == Route::wifi ? " · Wi-Fi ile bağlı"
                                                                : " · AirDrop ile bağlı");
            },
            [](const PairedNoAnswer& s) {
                return joined(s.macName, s.route == Route::wifi
                                             ? " yanıt vermiyor. AirDrop'u deneyin."
                                             : " AirDrop ile yanıt vermiyor. Wi-Fi'ı deneyin.");
            },
            [](const PairedNotFound& s) {
                return joined(s.macName, " görünmüyor. Mac açık ve uyanık mı?");
            },
            [](const UnpairedByMac& s) {
                return joined(s.macName, " eşleştirmeyi kaldırmış. Yeniden eşleşmeniz gerekiyor.");
            },
            [](const WifiOff&) {
                return std::string(
                    "Wi-Fi kapalı. Ravnix her iki bağlantı yolunda da Wi-Fi radyosunu kullanır.");
            },
            [](const Searching&) { return std::string("Mac aranıyor…"); },
        },
        value);
}

std::optional<ConnectionScenario::Action> ConnectionScenario::action() const noexcept {
    return std::visit(
        Overloaded{
            [](const FoundNotPaired&) -> std::optional<Action> { return Action::pair; },
            [](const Connected&) -> std::optional<Action> { return std::nullopt; },
            // Suggest the other route: the one in use is the one not getting through.
            [](const PairedNoAnswer& s) -> std::optional<Action> {
                return s.route == Route::wifi ? Action::switchToAirdrop : Action::switchToWiFi;
            },
            [](const PairedNotFound&) -> std::optional<Action> { return std::nullopt; },
            [](const UnpairedByMac&) -> std::optional<Action> { return Action::pair; },
            [](const WifiOff&) -> std::optional<Action> { return Action::openSettings; },
            [](const Searching&) -> std::optional<Action> { return std::nullopt; },
        },
        value);
}

} // namespace ravnix
