// browse: the desktops DNS-SD lists, printed again at every change, for --seconds.

#include "cli/phone/PhoneCommands.hpp"

namespace ravnix::phone {

int browse(Context& context) {
    std::string problem;
    const auto dnsSd = chooseDnsSd(problem);
    if (!problem.empty()) {
        return fail(problem);
    }
    BrowserEvents events(context.interrupted);
    auto browser = startBrowser(dnsSd, events);
    if (!browser) {
        return fail(browser.error());
    }
    const auto deadline =
        SteadyClock::now() +
        std::chrono::milliseconds(static_cast<std::int64_t>(context.options.seconds * 1000));
    std::uint64_t shown = 0;
    while (!context.interrupted.load() && SteadyClock::now() < deadline) {
        std::vector<PairingBrowser::DiscoveredMac> macs;
        events.waitUntil(deadline, [&] { return events.listsSeen != shown; });
        {
            std::lock_guard lock(events.eventsLock);
            if (events.listsSeen == shown) {
                continue;
            }
            shown = events.listsSeen;
            macs = events.macs;
        }
        say("bulunanlar: " + std::to_string(macs.size()));
        for (const auto& mac : macs) {
            say("  " + mac.name + " · id=" + mac.id + " · udp=" + std::to_string(mac.touchPort));
        }
    }
    if (shown == 0) {
        say("bulunanlar: 0");
    }
    (*browser)->stop();
    return 0;
}

} // namespace ravnix::phone
