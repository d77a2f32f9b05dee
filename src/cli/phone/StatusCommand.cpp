// status: what the phone's connection screen would say about the paired desktop, and the step
// it would offer.

#include "cli/phone/PhoneCommands.hpp"
#include "transport/MonotonicClock.hpp"

namespace ravnix::phone {

namespace {

std::string actionText(ConnectionScenario::Action action) {
    switch (action) {
    case ConnectionScenario::Action::openSettings:
        return "Ayarları aç";
    case ConnectionScenario::Action::pair:
        return "Eşleştir";
    case ConnectionScenario::Action::switchToAirdrop:
        return "AirDrop'a geç";
    case ConnectionScenario::Action::switchToWiFi:
        return "Wi-Fi'a geç";
    }
    return {};
}

} // namespace

int status(Context& context) {
    using namespace std::chrono_literals;
    const PhoneOptions& options = context.options;
    ConnectionScenario::Facts facts;
    // A computer on the command line is on the network, or it could not reach the desktop
    // by either route anyway; there is no radio to ask about.
    facts.wifiEnabled = true;
    facts.route = options.route;
    const auto desktop = context.pairings->find(options.desktop);
    if (desktop) {
        facts.pairedMacName = desktop->record.displayName;
        facts.unpairedByMac = desktop->isUnpairedByDesktop;
    }

    // Visible: the desktop's pairing service answers in DNS-SD.
    std::string problem;
    const auto dnsSd = chooseDnsSd(problem);
    if (problem.empty()) {
        BrowserEvents events(context.interrupted);
        if (auto browser = startBrowser(dnsSd, events)) {
            const auto listed = [&] {
                return findMac(events.macs, desktop->record.id).has_value() ||
                       findMac(events.macs, desktop->record.displayName).has_value();
            };
            const auto limit = std::min<std::chrono::milliseconds>(3000ms, options.timeout);
            events.waitUntil(SteadyClock::now() + limit,
                             [&] { return desktop ? listed() : !events.macs.empty(); });
            std::lock_guard lock(events.eventsLock);
            if (desktop) {
                facts.macVisible = listed();
            } else if (!events.macs.empty()) {
                facts.macVisible = true;
                facts.discoveredMacName = events.macs.front().name;
            }
            (*browser)->stop();
        }
    }

    // Responding, and whether the desktop still knows the pairing: a frame without fingers
    // changes nothing on the desktop but is refused there when the pairing is gone.
    if (desktop && desktop->record.key()) {
        if (auto link = openLink(context, *desktop)) {
            const auto waitEach = std::min<std::chrono::milliseconds>(500ms, options.timeout);
            const auto report = (*link)->ping(3, 20ms, waitEach);
            facts.macResponding = report.statistics.sampleCount > 0;
            if (options.route == ConnectionScenario::Route::wifi) {
                (void)(*link)->sendFrame({}, 1, {}, MonotonicClock::now());
                if ((*link)->waitForUnpaired(300ms)) {
                    facts.unpairedByMac = true;
                }
                rememberUnpaired(context, *desktop, **link);
            }
        }
    }

    const auto scenario = ConnectionScenario::resolve(facts);
    say(scenario.message());
    if (const auto action = scenario.action()) {
        say("öneri: " + actionText(*action));
    }
    return 0;
}

} // namespace ravnix::phone
