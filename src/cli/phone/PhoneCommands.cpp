#include "cli/phone/PhoneCommands.hpp"

#include "platform/network/UnavailableDnsSd.hpp"

#if RAVNIX_HAVE_AVAHI
#include "platform/network/AvahiDnsSd.hpp"
#endif

#include <cstdio>

namespace ravnix::phone {

int fail(const std::string& text) {
    std::fprintf(stderr, "ravnix-phone: %s\n", text.c_str());
    return 1;
}

void say(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::shared_ptr<DnsSd> chooseDnsSd(std::string& problem) {
#if RAVNIX_HAVE_AVAHI
    auto avahi = AvahiDnsSd::create();
    if (avahi) {
        return *avahi;
    }
    NetworkError reason = avahi.error();
#else
    NetworkError reason{"avahi", -1, "bu derlemede avahi destegi yok"};
#endif
    problem = "DNS-SD kullanılamıyor: " + reason.text();
    return std::make_shared<UnavailableDnsSd>(reason);
}

void BrowserEvents::attach(PairingBrowser& browser) {
    browser.setOnDiscovery([this](const std::vector<PairingBrowser::DiscoveredMac>& list) {
        std::lock_guard lock(eventsLock);
        macs = list;
        ++listsSeen;
        changed.notify_all();
    });
    browser.setOnStep([this](const PairingBrowser::PairingStep& step) {
        std::lock_guard lock(eventsLock);
        steps.push_back(step);
        changed.notify_all();
    });
}

std::optional<PairingBrowser::PairingStep> BrowserEvents::takeStep() {
    std::lock_guard lock(eventsLock);
    if (steps.empty()) {
        return std::nullopt;
    }
    auto step = std::move(steps.front());
    steps.pop_front();
    return step;
}

std::expected<std::shared_ptr<PairingBrowser>, std::string>
startBrowser(const std::shared_ptr<DnsSd>& dnsSd, BrowserEvents& events) {
    auto browser = PairingBrowser::make(dnsSd);
    if (!browser) {
        return std::unexpected(browser.error().text());
    }
    events.attach(**browser);
    (*browser)->start();
    return std::move(*browser);
}

std::optional<PairingBrowser::DiscoveredMac>
findMac(const std::vector<PairingBrowser::DiscoveredMac>& macs, std::string_view name) {
    for (const auto& mac : macs) {
        if (mac.name == name || mac.id == name) {
            return mac;
        }
    }
    return std::nullopt;
}

std::expected<PhonePairings::Desktop, std::string> pairedDesktop(Context& context) {
    const auto& wanted = context.options.desktop;
    auto desktop = context.pairings->find(wanted);
    if (!desktop) {
        return std::unexpected(wanted ? "bu masaüstüyle eşleştirme yok: " + *wanted
                                      : std::string("eşleştirme yok: önce ravnix-phone pair AD"));
    }
    if (!desktop->record.key()) {
        return std::unexpected("saklanan eşleştirme anahtarı geçersiz: " +
                               desktop->record.displayName);
    }
    return *desktop;
}

std::expected<std::unique_ptr<PhoneLink>, std::string>
openLink(Context& context, const PhonePairings::Desktop& desktop) {
    const PacketAuthenticator authenticator(desktop.record.keyMaterial, desktop.record.pairingID);
    if (context.options.route == ConnectionScenario::Route::airdrop) {
        std::string problem;
        const auto dnsSd = chooseDnsSd(problem);
        if (!problem.empty()) {
            return std::unexpected(problem);
        }
        return PhoneLink::overPeer(authenticator, dnsSd, desktop.record.displayName,
                                   context.options.timeout);
    }
    // The first address that is a plain IPv4 address: the socket layer speaks only those.
    for (const auto& host : desktop.record.hosts.value_or(std::vector<std::string>{})) {
        if (const auto address = SocketAddress::make(host, desktop.touchPort)) {
            return PhoneLink::overUdp(authenticator, *address);
        }
    }
    return std::unexpected("masaüstü bulunamadı: saklanan adreslerde IPv4 adresi yok (" +
                           desktop.record.displayName + ")");
}

void rememberUnpaired(Context& context, const PhonePairings::Desktop& desktop,
                      const PhoneLink& link) {
    if (link.counters().unpairedNotices > 0) {
        context.pairings->markUnpaired(desktop.record.id);
    }
}

} // namespace ravnix::phone
