// pair NAME: finds the desktop, runs the handshake, shows the code and asks on the terminal,
// then waits for the desktop's own decision and keeps the pairing.

#include "cli/phone/PhoneCommands.hpp"

#include <cstdio>
#include <poll.h>
#include <unistd.h>

namespace ravnix::phone {

namespace {

using namespace std::chrono_literals;

// The offer must follow the hello within this time, whatever --timeout says: it bounds the
// time someone in the middle has to search for a key that yields the same code.
constexpr auto kOfferLimit = 5s;

std::string grouped(const std::string& code) {
    return code.size() == 6 ? code.substr(0, 3) + " " + code.substr(3) : code;
}

// One line from standard input, waiting until `deadline`; none at its end or the deadline.
// `stop` is asked between short waits, so that the desktop's refusal ends the question.
template <typename Stop>
std::optional<std::string> readAnswer(const std::atomic<bool>& interrupted,
                                      SteadyClock::time_point deadline, Stop stop) {
    std::string line;
    while (!interrupted.load() && SteadyClock::now() < deadline && !stop()) {
        pollfd watched{STDIN_FILENO, POLLIN, 0};
        if (::poll(&watched, 1, 100) <= 0) {
            continue;
        }
        char c = 0;
        const ssize_t count = ::read(STDIN_FILENO, &c, 1);
        if (count <= 0) {
            return std::nullopt;
        }
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return line;
        }
        if (line.size() < 4096) {
            line.push_back(c);
        }
    }
    return std::nullopt;
}

bool isYes(std::string answer) {
    while (!answer.empty() && (answer.back() == ' ' || answer.back() == '\t')) {
        answer.pop_back();
    }
    while (!answer.empty() && (answer.front() == ' ' || answer.front() == '\t')) {
        answer.erase(answer.begin());
    }
    return answer == "evet" || answer == "e" || answer == "y" || answer == "yes";
}

int reportEnd(const PairingBrowser::PairingStep& step) {
    if (std::holds_alternative<PairingBrowser::PairingStep::Rejected>(step.value)) {
        say("rejected: masaüstü eşleştirmeyi reddetti");
        return 1;
    }
    if (const auto* failed = std::get_if<PairingBrowser::PairingStep::Failed>(&step.value)) {
        say("failed: " + failed->text);
        return 1;
    }
    return -1; // not an end
}

} // namespace

int pair(Context& context) {
    const PhoneOptions& options = context.options;
    const std::string& wanted = options.target;
    std::string problem;
    const auto dnsSd = chooseDnsSd(problem);
    if (!problem.empty()) {
        return fail(problem);
    }
    PairingBrowser::Identity identity;
    if (options.deviceID) {
        identity.deviceID = *options.deviceID;
    } else {
        auto id = context.pairings->deviceID();
        if (!id) {
            return fail(id.error());
        }
        identity.deviceID = *id;
    }
    identity.displayName = options.name.value_or("ravnix-phone");
    identity.model = options.model.value_or("Linux");

    BrowserEvents events(context.interrupted);
    auto browser = startBrowser(dnsSd, events);
    if (!browser) {
        return fail(browser.error());
    }
    std::optional<PairingBrowser::DiscoveredMac> mac;
    events.waitUntil(SteadyClock::now() + options.timeout, [&] {
        mac = findMac(events.macs, wanted);
        return mac.has_value();
    });
    (*browser)->stop();
    if (!mac) {
        return fail(context.interrupted.load() ? "kesildi" : "masaüstü bulunamadı: " + wanted);
    }

    (*browser)->pair(*mac, identity);
    const auto offerDeadline =
        SteadyClock::now() + std::min<std::chrono::milliseconds>(kOfferLimit, options.timeout);
    std::optional<PairingBrowser::PairingStep> step;
    events.waitUntil(offerDeadline, [&] { return !events.steps.empty(); });
    step = events.takeStep();
    if (!step) {
        (*browser)->cancel();
        return fail("zaman aşımı: masaüstünün teklifi 5 saniye içinde gelmedi");
    }
    if (const int end = reportEnd(*step); end >= 0) {
        return end;
    }
    const auto* code = std::get_if<PairingBrowser::PairingStep::Code>(&step->value);
    if (code == nullptr) {
        (*browser)->cancel();
        return fail("beklenmeyen eşleştirme adımı");
    }
    say(grouped(code->code));
    std::fputs("Aynı sayı mı? (evet/hayır): ", stdout);
    std::fflush(stdout);

    const auto answerDeadline = SteadyClock::now() + options.answerTimeout;
    const auto answer = readAnswer(context.interrupted, answerDeadline, [&] {
        std::lock_guard lock(events.eventsLock);
        return !events.steps.empty();
    });
    std::fputc('\n', stdout);
    if (auto early = events.takeStep()) {
        // The desktop decided first, or the connection failed.
        (*browser)->cancel();
        const int end = reportEnd(*early);
        return end >= 0 ? end : fail("beklenmeyen eşleştirme adımı");
    }
    if (!answer || !isYes(*answer)) {
        (*browser)->confirm(false);
        say(answer ? "eşleştirme reddedildi" : "yanıt yok: eşleştirme reddedildi");
        return 1;
    }
    (*browser)->confirm(true);
    say("masaüstündeki onay bekleniyor");
    events.waitUntil(SteadyClock::now() + options.answerTimeout,
                     [&] { return !events.steps.empty(); });
    step = events.takeStep();
    if (!step) {
        (*browser)->cancel();
        return fail("zaman aşımı: masaüstü onaylamadı");
    }
    if (const int end = reportEnd(*step); end >= 0) {
        return end;
    }
    const auto* accepted = std::get_if<PairingBrowser::PairingStep::Accepted>(&step->value);
    if (accepted == nullptr) {
        return fail("beklenmeyen eşleştirme adımı");
    }
    if (auto saved = context.pairings->save(*accepted, mac->touchPort); !saved) {
        return fail(saved.error());
    }
    std::string hosts;
    for (const auto& host : accepted->hosts) {
        hosts += (hosts.empty() ? "" : ", ") + host;
    }
    say("accepted: " + accepted->macName +
        " ile eşleşildi · eşleştirme no=" + std::to_string(accepted->pairingID) +
        " · adresler: " + hosts + " · udp=" + std::to_string(mac->touchPort));
    return 0;
}

} // namespace ravnix::phone
