// The phone's side on the command line: finds desktops, pairs with one, measures the link and
// plays the gesture guide's demonstrations as touch frames, so that a running ravnix can be
// driven without a phone. Every wait is bounded; every failure is one line and a non-zero exit.

#include "cli/Version.hpp"
#include "cli/phone/PhoneLink.hpp"
#include "cli/phone/PhonePairings.hpp"
#include "guide/DemoFrames.hpp"
#include "guide/GuideCatalog.hpp"
#include "pairing/ConnectionScenario.hpp"
#include "pairing/PairingBrowser.hpp"
#include "platform/Paths.hpp"
#include "platform/network/UnavailableDnsSd.hpp"
#include "platform/secret/FileSecretStore.hpp"
#include "transport/CFormat.hpp"
#include "transport/MonotonicClock.hpp"

#if RAVNIX_HAVE_AVAHI
#include "platform/network/AvahiDnsSd.hpp"
#endif
#if RAVNIX_HAVE_SECRET_SERVICE
#include "platform/secret/SecretStoreSelection.hpp"
#endif

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <expected>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace ravnix;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr const char* kUsage =
    "Kullanım: ravnix-phone browse [--seconds N]\n"
    "         ravnix-phone pair AD [--device-id ID] [--name AD] [--model MODEL]\n"
    "         ravnix-phone ping [--count N] [--route wifi|airdrop]\n"
    "         ravnix-phone play GÖSTERİM [--route wifi|airdrop] [--rate HZ] [--repeat N]\n"
    "                           [--scale S]\n"
    "         ravnix-phone status [--route wifi|airdrop]\n"
    "         ravnix-phone --version | --help\n"
    "ortak seçenekler: [--timeout SANİYE] [--answer-timeout SANİYE] [--desktop AD]\n"
    "                  [--secret-store=auto|secret-service|file]\n";

constexpr const char* kOptions =
    "\n"
    "Telefonun yerine geçer: masaüstündeki ravnix'i bulur, onunla eşleşir, bağlantıyı ölçer ve\n"
    "hareket rehberinin gösterimlerini kimliği doğrulanmış dokunma kareleri olarak oynatır.\n"
    "\n"
    "  browse            DNS-SD'de görünen masaüstleri (ad, kimlik, dokunma portu), her\n"
    "                    değişiklikte yeniden; --seconds kadar (varsayılan 5)\n"
    "  pair AD           AD adlı masaüstüyle eşleşir; sayıyı gösterir ve terminalde onay sorar\n"
    "  ping              eşleşilen masaüstüne ping (varsayılan 10), gecikme ve saat farkı\n"
    "  play GÖSTERİM     rehber gösterimini kare kare gönderir (varsayılan 120 Hz)\n"
    "  status            bağlantı durumu ve önerilen adım\n"
    "\n"
    "  --timeout S       her ağ beklemesinin üst sınırı (varsayılan 5 s)\n"
    "  --answer-timeout S  bir insanın onayını bekleme sınırı (varsayılan 60 s)\n"
    "  --desktop AD      birden çok eşleşme varken hangi masaüstü (ad ya da kimlik)\n"
    "  --secret-store=K  eşleştirmelerin deposu: auto, secret-service ya da file\n";

// The offer must follow the hello within this time, whatever --timeout says: it bounds the
// time someone in the middle has to search for a key that yields the same code.
constexpr auto kOfferLimit = 5s;

std::atomic<bool> interrupted{false};

extern "C" void onInterrupt(int) {
    interrupted.store(true);
}

// ---- command line ----

enum class StoreKind { automatic, secretService, file };

struct CommandLine {
    std::string command;
    std::vector<std::string> positional;
    std::chrono::milliseconds timeout = 5000ms;
    std::chrono::milliseconds answerTimeout = 60000ms;
    std::optional<std::string> desktop;
    StoreKind secretStore = StoreKind::automatic;
    ConnectionScenario::Route route = ConnectionScenario::Route::wifi;
    double seconds = 5;
    int count = 10;
    double rate = 120;
    int repeat = 1;
    double scale = 1;
    std::optional<std::string> deviceID;
    std::optional<std::string> name;
    std::optional<std::string> model;
};

enum class Request { run, version, help };

std::optional<double> parseNumber(std::string_view text) {
    double value = 0;
    const auto* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::optional<int> parseCount(std::string_view text, int low, int high) {
    int value = 0;
    const auto* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::chrono::milliseconds> parseSeconds(std::string_view text) {
    const auto value = parseNumber(text);
    if (!value || *value <= 0 || *value > 3600) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(*value * 1000)));
}

std::expected<std::pair<Request, CommandLine>, std::string> parseCommandLine(int argc,
                                                                             char** argv) {
    CommandLine line;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--version") {
            return std::pair{Request::version, line};
        }
        if (argument == "--help" || argument == "-h") {
            return std::pair{Request::help, line};
        }
    }
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (!argument.starts_with("--")) {
            if (line.command.empty()) {
                line.command = argument;
            } else {
                line.positional.push_back(argument);
            }
            continue;
        }
        // "--name value" and "--name=value" alike.
        std::string name = argument;
        std::optional<std::string> inlineValue;
        if (const auto eq = argument.find('='); eq != std::string::npos) {
            name = argument.substr(0, eq);
            inlineValue = argument.substr(eq + 1);
        }
        const auto value = [&]() -> std::expected<std::string, std::string> {
            if (inlineValue) {
                return *inlineValue;
            }
            if (i + 1 >= argc) {
                return std::unexpected(name + " bir değer bekliyor");
            }
            return std::string(argv[++i]);
        };
        auto text = value();
        if (!text) {
            return std::unexpected(text.error());
        }
        const auto invalid = [&](std::string_view range) {
            return std::unexpected(name + " için geçersiz değer: " + *text +
                                   (range.empty() ? "" : " (" + std::string(range) + ")"));
        };
        if (name == "--timeout" || name == "--answer-timeout") {
            const auto seconds = parseSeconds(*text);
            if (!seconds) {
                return invalid("0-3600 saniye");
            }
            (name == "--timeout" ? line.timeout : line.answerTimeout) = *seconds;
        } else if (name == "--desktop") {
            line.desktop = *text;
        } else if (name == "--secret-store") {
            if (*text == "auto") {
                line.secretStore = StoreKind::automatic;
            } else if (*text == "secret-service") {
                line.secretStore = StoreKind::secretService;
            } else if (*text == "file") {
                line.secretStore = StoreKind::file;
            } else {
                return invalid("");
            }
        } else if (name == "--route") {
            const auto route = ConnectionScenario::routeFromRawValue(*text);
            if (!route) {
                return invalid("wifi ya da airdrop");
            }
            line.route = *route;
        } else if (name == "--seconds") {
            const auto seconds = parseNumber(*text);
            if (!seconds || *seconds <= 0 || *seconds > 3600) {
                return invalid("0-3600");
            }
            line.seconds = *seconds;
        } else if (name == "--count") {
            const auto count = parseCount(*text, 1, 1000);
            if (!count) {
                return invalid("1-1000");
            }
            line.count = *count;
        } else if (name == "--rate") {
            const auto rate = parseNumber(*text);
            if (!rate || *rate <= 0 || *rate > maximumRate) {
                return invalid("0-480 Hz");
            }
            line.rate = *rate;
        } else if (name == "--repeat") {
            const auto repeat = parseCount(*text, 1, maximumRepeat);
            if (!repeat) {
                return invalid("1-50");
            }
            line.repeat = *repeat;
        } else if (name == "--scale") {
            const auto scale = parseNumber(*text);
            if (!scale || *scale <= 0 || *scale > 10) {
                return invalid("0-10");
            }
            line.scale = *scale;
        } else if (name == "--device-id") {
            line.deviceID = *text;
        } else if (name == "--name") {
            line.name = *text;
        } else if (name == "--model") {
            line.model = *text;
        } else {
            return std::unexpected("bilinmeyen seçenek: " + name);
        }
    }
    if (line.command.empty()) {
        return std::unexpected(std::string("bir komut gerekiyor"));
    }
    const std::map<std::string, std::size_t> positionals{
        {"browse", 0}, {"pair", 1}, {"ping", 0}, {"play", 1}, {"status", 0}};
    const auto expected = positionals.find(line.command);
    if (expected == positionals.end()) {
        return std::unexpected("bilinmeyen komut: " + line.command);
    }
    if (line.positional.size() != expected->second) {
        return std::unexpected(line.command + (expected->second == 0
                                                   ? " başka bir argüman almaz"
                                                   : " tek bir argüman bekliyor"));
    }
    return std::pair{Request::run, line};
}

// ---- services ----

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

std::shared_ptr<SecretStore> chooseSecretStore(StoreKind kind, const Paths& paths) {
#if RAVNIX_HAVE_SECRET_SERVICE
    const SecretStoreKind selected = kind == StoreKind::file ? SecretStoreKind::file
                                     : kind == StoreKind::secretService
                                         ? SecretStoreKind::secretService
                                         : SecretStoreKind::automatic;
    return selectSecretStore(selected, paths).store;
#else
    (void)kind;
    return std::make_shared<FileSecretStore>(paths);
#endif
}

struct Context {
    CommandLine line;
    Paths paths;
    std::unique_ptr<PhonePairings> pairings;
};

int fail(const std::string& text) {
    std::fprintf(stderr, "ravnix-phone: %s\n", text.c_str());
    return 1;
}

void say(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string grouped(const std::string& code) {
    return code.size() == 6 ? code.substr(0, 3) + " " + code.substr(3) : code;
}

// Everything a browser reports, waited on by the main thread.
struct BrowserEvents {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<PairingBrowser::DiscoveredMac> macs;
    std::uint64_t listsSeen = 0;
    std::deque<PairingBrowser::PairingStep> steps;

    void attach(PairingBrowser& browser) {
        browser.setOnDiscovery([this](const std::vector<PairingBrowser::DiscoveredMac>& list) {
            std::lock_guard lock(mutex);
            macs = list;
            ++listsSeen;
            changed.notify_all();
        });
        browser.setOnStep([this](const PairingBrowser::PairingStep& step) {
            std::lock_guard lock(mutex);
            steps.push_back(step);
            changed.notify_all();
        });
    }

    template <typename Predicate>
    bool waitUntil(SteadyClock::time_point deadline, Predicate predicate) {
        // Short slices, so that an interruption is noticed.
        std::unique_lock lock(mutex);
        while (!predicate()) {
            if (interrupted.load() || SteadyClock::now() >= deadline) {
                return false;
            }
            changed.wait_until(lock, std::min(deadline, SteadyClock::now() + 100ms));
        }
        return true;
    }

    std::optional<PairingBrowser::PairingStep> takeStep() {
        std::lock_guard lock(mutex);
        if (steps.empty()) {
            return std::nullopt;
        }
        auto step = std::move(steps.front());
        steps.pop_front();
        return step;
    }
};

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

// ---- browse ----

int browse(Context& context) {
    std::string problem;
    const auto dnsSd = chooseDnsSd(problem);
    if (!problem.empty()) {
        return fail(problem);
    }
    BrowserEvents events;
    auto browser = startBrowser(dnsSd, events);
    if (!browser) {
        return fail(browser.error());
    }
    const auto deadline =
        SteadyClock::now() +
        std::chrono::milliseconds(static_cast<std::int64_t>(context.line.seconds * 1000));
    std::uint64_t shown = 0;
    while (!interrupted.load() && SteadyClock::now() < deadline) {
        std::vector<PairingBrowser::DiscoveredMac> macs;
        events.waitUntil(deadline, [&] { return events.listsSeen != shown; });
        {
            std::lock_guard lock(events.mutex);
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

// ---- pair ----

// One line from standard input, waiting until `deadline`; none at its end or the deadline.
// `stop` is asked between short waits, so that the desktop's refusal ends the question.
template <typename Stop>
std::optional<std::string> readAnswer(SteadyClock::time_point deadline, Stop stop) {
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
    if (step.value.index() == 3) {
        say("rejected: masaüstü eşleştirmeyi reddetti");
        return 1;
    }
    if (const auto* failed = std::get_if<PairingBrowser::PairingStep::Failed>(&step.value)) {
        say("failed: " + failed->text);
        return 1;
    }
    return -1; // not an end
}

int pair(Context& context) {
    const std::string& wanted = context.line.positional.at(0);
    std::string problem;
    const auto dnsSd = chooseDnsSd(problem);
    if (!problem.empty()) {
        return fail(problem);
    }
    PairingBrowser::Identity identity;
    if (context.line.deviceID) {
        identity.deviceID = *context.line.deviceID;
    } else {
        auto id = context.pairings->deviceID();
        if (!id) {
            return fail(id.error());
        }
        identity.deviceID = *id;
    }
    identity.displayName = context.line.name.value_or("ravnix-phone");
    identity.model = context.line.model.value_or("Linux");

    BrowserEvents events;
    auto browser = startBrowser(dnsSd, events);
    if (!browser) {
        return fail(browser.error());
    }
    std::optional<PairingBrowser::DiscoveredMac> mac;
    events.waitUntil(SteadyClock::now() + context.line.timeout, [&] {
        mac = findMac(events.macs, wanted);
        return mac.has_value();
    });
    (*browser)->stop();
    if (!mac) {
        return fail(interrupted.load() ? "kesildi" : "masaüstü bulunamadı: " + wanted);
    }

    (*browser)->pair(*mac, identity);
    const auto offerDeadline =
        SteadyClock::now() + std::min<std::chrono::milliseconds>(kOfferLimit, context.line.timeout);
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

    const auto answerDeadline = SteadyClock::now() + context.line.answerTimeout;
    const auto answer = readAnswer(answerDeadline, [&] {
        std::lock_guard lock(events.mutex);
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
    events.waitUntil(SteadyClock::now() + context.line.answerTimeout,
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

// ---- the link to the paired desktop ----

std::expected<PhonePairings::Desktop, std::string> pairedDesktop(Context& context) {
    auto desktop = context.pairings->find(context.line.desktop);
    if (!desktop) {
        return std::unexpected(context.line.desktop
                                   ? "bu masaüstüyle eşleştirme yok: " + *context.line.desktop
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
    if (context.line.route == ConnectionScenario::Route::airdrop) {
        std::string problem;
        const auto dnsSd = chooseDnsSd(problem);
        if (!problem.empty()) {
            return std::unexpected(problem);
        }
        return PhoneLink::overPeer(authenticator, dnsSd, desktop.record.displayName,
                                   context.line.timeout);
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

std::string offsetLine(const PhoneLink::PingReport& report) {
    const auto offset = report.offsets.offset();
    if (!offset) {
        return "saat farkı: ölçülemedi";
    }
    return formatC("saat farkı (masaüstü − telefon): %+.3f ms  (%zu ölçüm)",
                   static_cast<double>(*offset) / 1e6, report.offsets.offsets.size());
}

int ping(Context& context) {
    const auto desktop = pairedDesktop(context);
    if (!desktop) {
        return fail(desktop.error());
    }
    auto link = openLink(context, *desktop);
    if (!link) {
        return fail(link.error());
    }
    const auto waitEach = std::min<std::chrono::milliseconds>(1000ms, context.line.timeout);
    const auto report = (*link)->ping(context.line.count, 20ms, waitEach);
    say(report.statistics.description());
    say(offsetLine(report));
    if (report.statistics.sampleCount == 0) {
        return fail("zaman aşımı: masaüstü ping'lere yanıt vermedi");
    }
    return 0;
}

// ---- play ----

int play(Context& context) {
    const std::string& id = context.line.positional.at(0);
    const GestureDemo* demo = nullptr;
    std::string known;
    for (const auto& candidate : gestureCatalog()) {
        known += (known.empty() ? "" : ", ") + candidate.id;
        if (candidate.id == id) {
            demo = &candidate;
        }
    }
    if (demo == nullptr) {
        return fail("bilinmeyen gösterim: " + id + " (olanlar: " + known + ")");
    }
    const auto frames =
        demoFrames(*demo, {context.line.rate, context.line.repeat, context.line.scale});
    if (!frames) {
        return fail(frames.error());
    }
    const auto desktop = pairedDesktop(context);
    if (!desktop) {
        return fail(desktop.error());
    }
    auto link = openLink(context, *desktop);
    if (!link) {
        return fail(link.error());
    }

    // Frames leave on the script's schedule and carry the phone's clock at their capture
    // moment, so the desktop sees the intervals the script meant even when a send is late.
    const auto started = SteadyClock::now();
    const std::uint64_t startNanos = MonotonicClock::now();
    std::size_t sent = 0;
    for (const DemoFrame& frame : *frames) {
        if (interrupted.load()) {
            break;
        }
        const auto offset = std::chrono::nanoseconds(static_cast<std::int64_t>(frame.time * 1e9));
        std::this_thread::sleep_until(started + offset);
        const auto result =
            (*link)->sendFrame(frame.flags, frame.clickCount, frame.fingers,
                               startNanos + static_cast<std::uint64_t>(offset.count()));
        if (!result) {
            return fail(result.error());
        }
        ++sent;
    }
    // A refused frame is answered at once; a short wait lets the notice in.
    const bool refused = (*link)->waitForUnpaired(200ms);
    rememberUnpaired(context, *desktop, **link);
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - started).count();
    say(formatC("%s: %zu kare, %.2f s, %.0f Hz, %s", demo->id.c_str(), sent, seconds,
                context.line.rate,
                context.line.route == ConnectionScenario::Route::airdrop ? "AirDrop" : "Wi-Fi"));
    if (refused) {
        return fail("kareler reddedildi: " + desktop->record.displayName +
                    " eşleştirmeyi kaldırmış");
    }
    return interrupted.load() ? fail("kesildi") : 0;
}

// ---- status ----

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

int status(Context& context) {
    ConnectionScenario::Facts facts;
    // A computer on the command line is on the network, or it could not reach the desktop
    // by either route anyway; there is no radio to ask about.
    facts.wifiEnabled = true;
    facts.route = context.line.route;
    const auto desktop = context.pairings->find(context.line.desktop);
    if (desktop) {
        facts.pairedMacName = desktop->record.displayName;
        facts.unpairedByMac = desktop->isUnpairedByDesktop;
    }

    // Visible: the desktop's pairing service answers in DNS-SD.
    std::string problem;
    const auto dnsSd = chooseDnsSd(problem);
    if (problem.empty()) {
        BrowserEvents events;
        if (auto browser = startBrowser(dnsSd, events)) {
            const auto limit = std::min<std::chrono::milliseconds>(3000ms, context.line.timeout);
            events.waitUntil(SteadyClock::now() + limit, [&] {
                if (desktop) {
                    return findMac(events.macs, desktop->record.id).has_value() ||
                           findMac(events.macs, desktop->record.displayName).has_value();
                }
                return !events.macs.empty();
            });
            std::lock_guard lock(events.mutex);
            if (desktop) {
                facts.macVisible = findMac(events.macs, desktop->record.id).has_value() ||
                                   findMac(events.macs, desktop->record.displayName).has_value();
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
            const auto waitEach = std::min<std::chrono::milliseconds>(500ms, context.line.timeout);
            const auto report = (*link)->ping(3, 20ms, waitEach);
            facts.macResponding = report.statistics.sampleCount > 0;
            if (context.line.route == ConnectionScenario::Route::wifi) {
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

} // namespace

int main(int argc, char** argv) {
    const auto parsed = parseCommandLine(argc, argv);
    if (!parsed) {
        std::fprintf(stderr, "ravnix-phone: %s\n", parsed.error().c_str());
        std::fputs(kUsage, stderr);
        return 2;
    }
    switch (parsed->first) {
    case Request::version:
        std::printf("ravnix-phone %s\n", RAVNIX_VERSION);
        return 0;
    case Request::help:
        std::fputs(kUsage, stdout);
        std::fputs(kOptions, stdout);
        return 0;
    case Request::run:
        break;
    }
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    std::signal(SIGPIPE, SIG_IGN);

    Context context{parsed->second, Paths(PathEnvironment::fromProcess()), nullptr};
    context.pairings =
        std::make_unique<PhonePairings>(chooseSecretStore(context.line.secretStore, context.paths),
                                        context.paths.dataFolder() / "phone-desktops.json");

    const std::string& command = context.line.command;
    if (command == "browse") {
        return browse(context);
    }
    if (command == "pair") {
        return pair(context);
    }
    if (command == "ping") {
        return ping(context);
    }
    if (command == "play") {
        return play(context);
    }
    return status(context);
}
