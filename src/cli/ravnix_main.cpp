// The desktop program's entry: reads the command line, builds the services the application
// model is made from, and runs the model under a shell until it is told to end.
//
// Two shells over the same services: the tray application (Qt) when a display is there, and
// the terminal shell with --headless or without a display.

#include "app/ApplicationLog.hpp"
#include "app/MacModel.hpp"
#include "cli/HeadlessShell.hpp"
#include "cli/Version.hpp"
#include "platform/AsioMainQueue.hpp"
#include "platform/FilePreferences.hpp"
#include "platform/FileSystem.hpp"
#include "platform/HostFacts.hpp"
#include "platform/Paths.hpp"
#include "platform/Workspace.hpp"
#include "platform/events/RecordingEventSystem.hpp"
#include "platform/network/UnavailableDnsSd.hpp"
#include "platform/secret/FileSecretStore.hpp"

#if RAVNIX_HAVE_X11
#include "platform/events/x11/X11EventSystem.hpp"
#endif
#if RAVNIX_HAVE_AVAHI
#include "platform/network/AvahiDnsSd.hpp"
#endif
#if RAVNIX_HAVE_SECRET_SERVICE
#include "platform/secret/SecretStoreSelection.hpp"
#endif
#if RAVNIX_HAVE_QT
#include "ui/DesktopShell.hpp"
#include "ui/QtMainQueue.hpp"
#include "ui/QtWindowControllers.hpp"
#include "ui/SingleInstance.hpp"

#include <QApplication>
#include <QSystemTrayIcon>
#endif

#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <string_view>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

using namespace ravnix;

constexpr const char* kUsage =
    "Kullanım: ravnix [--headless] [--events=auto|x11|log|none] [--port N]\n"
    "                 [--secret-store=auto|secret-service|file]\n"
    "         ravnix --version | --help\n"
    "\n"
    "Telefonu masaüstü için izleme yüzeyine çevirir: dokunma karelerini UDP 9931\n"
    "üzerinden alır ve işaretçi, tıklama, kaydırma ve kısayol olaylarına dönüştürür.\n";

constexpr const char* kOptions =
    "\n"
    "  --headless        terminalde çalışır: durum satırı ve eşleştirme onayı standart\n"
    "                    çıktıda, komutlar standart girişte (komutlar için: yardım).\n"
    "                    Ekran yoksa ravnix kendiliğinden böyle çalışır; yoksa tepside.\n"
    "  --events=KIP      auto: ekran varsa X11, yoksa hiçbiri; x11: XTEST ile gerçek\n"
    "                    olaylar; log: her olay günlük klasöründe events.log'a bir satır;\n"
    "                    none: olay gönderilmez (izin yok sayılır)\n"
    "  --port N          dokunma kareleri için UDP portu (1-65535, varsayılan 9931)\n"
    "  --secret-store=K  eşleştirmelerin deposu: auto, secret-service ya da file\n";

enum class EventsKind { automatic, x11, log, none };
enum class StoreKind { automatic, secretService, file };

struct CommandLine {
    bool headless = false;
    EventsKind events = EventsKind::automatic;
    std::uint16_t port = 9931;
    StoreKind secretStore = StoreKind::automatic;
};

enum class Request { run, version, help };

struct Parsed {
    Request request = Request::run;
    CommandLine commandLine;
};

std::optional<std::uint16_t> parsePort(std::string_view text) {
    unsigned value = 0;
    const auto* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value == 0 || value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

// The command line, or the one-line complaint about it.
std::expected<Parsed, std::string> parseCommandLine(int argc, char** argv) {
    Parsed parsed;
    // --version and --help answer whatever else is given, as they always have.
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--version") {
            parsed.request = Request::version;
            return parsed;
        }
        if (argument == "--help" || argument == "-h") {
            parsed.request = Request::help;
            return parsed;
        }
    }
    CommandLine& line = parsed.commandLine;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        const auto value = [&](std::string_view prefix) -> std::optional<std::string_view> {
            if (argument.starts_with(prefix)) {
                return argument.substr(prefix.size());
            }
            return std::nullopt;
        };
        if (argument == "--headless") {
            line.headless = true;
        } else if (const auto events = value("--events=")) {
            if (*events == "auto") {
                line.events = EventsKind::automatic;
            } else if (*events == "x11") {
                line.events = EventsKind::x11;
            } else if (*events == "log") {
                line.events = EventsKind::log;
            } else if (*events == "none") {
                line.events = EventsKind::none;
            } else {
                return std::unexpected("--events için geçersiz değer: " + std::string(*events));
            }
        } else if (argument == "--port" || argument.starts_with("--port=")) {
            std::string_view text;
            if (argument == "--port") {
                if (i + 1 >= argc) {
                    return std::unexpected(std::string("--port bir sayı bekliyor"));
                }
                text = argv[++i];
            } else {
                text = argument.substr(std::string_view("--port=").size());
            }
            const auto port = parsePort(text);
            if (!port) {
                return std::unexpected("--port için geçersiz değer: " + std::string(text) +
                                       " (1-65535)");
            }
            line.port = *port;
        } else if (const auto store = value("--secret-store=")) {
            if (*store == "auto") {
                line.secretStore = StoreKind::automatic;
            } else if (*store == "secret-service") {
                line.secretStore = StoreKind::secretService;
            } else if (*store == "file") {
                line.secretStore = StoreKind::file;
            } else {
                return std::unexpected("--secret-store için geçersiz değer: " +
                                       std::string(*store));
            }
        } else {
            return std::unexpected("bilinmeyen seçenek: " + std::string(argument));
        }
    }
    return parsed;
}

// ---- services ----

struct EventsChoice {
    std::shared_ptr<EventSystem> system;
    std::string logLine;
    std::string permissionHint; // what the user can do while the system is not trusted
};

EventsChoice withoutEvents(std::string reason, std::string hint) {
    auto recorder = std::make_shared<RecordingEventSystem>();
    recorder->setKeepEvents(false);
    recorder->setTrusted(false);
    return {recorder, "olaylar: yok (" + reason + ")", std::move(hint)};
}

std::expected<EventsChoice, std::string> chooseEvents(EventsKind kind, const Paths& paths) {
    switch (kind) {
    case EventsKind::none:
        return withoutEvents("istendi", "olaylar kapalı (--events=none); gerçek olaylar için "
                                        "ravnix'i X11 oturumunda --events=x11 ile başlatın");
    case EventsKind::log: {
        const auto folder = paths.makeLogFolder();
        if (!folder) {
            return std::unexpected("günlük klasörü açılamadı: " + folder.error().text());
        }
        const auto file = *folder / "events.log";
        auto recorder = std::make_shared<RecordingEventSystem>();
        recorder->setKeepEvents(false); // the file keeps them; memory would only grow
        if (!recorder->logTo(file)) {
            return std::unexpected("olay günlüğü açılamadı: " + file.string());
        }
        return EventsChoice{recorder, "olaylar: gunluk " + file.string(), {}};
    }
    case EventsKind::x11:
    case EventsKind::automatic:
        break;
    }
#if RAVNIX_HAVE_X11
    auto display = X11EventSystem::open();
    if (display) {
        return EventsChoice{*display, "olaylar: X11",
                            "X sunucusu XTEST eklentisini sunmuyor; olaylar gönderilemiyor"};
    }
    if (kind == EventsKind::x11) {
        return std::unexpected("X11 ekranı açılamadı: " + display.error().text());
    }
    return withoutEvents("X11 ekrani yok: " + display.error().text(),
                         "X11 ekranı bulunamadı; ravnix'i bir X11 oturumunda başlatın");
#else
    if (kind == EventsKind::x11) {
        return std::unexpected(std::string("bu derlemede X11 desteği yok"));
    }
    return withoutEvents("X11 destegi derlenmedi", "bu derlemede X11 desteği yok");
#endif
}

struct DnsSdChoice {
    std::shared_ptr<DnsSd> service;
    std::string hostName; // the daemon's, when one answers
    std::string logLine;
};

DnsSdChoice chooseDnsSd() {
#if RAVNIX_HAVE_AVAHI
    auto avahi = AvahiDnsSd::create();
    if (avahi) {
        return {*avahi, (*avahi)->hostName(), "dns-sd: avahi"};
    }
    NetworkError reason = avahi.error();
#else
    NetworkError reason{"avahi", -1, "bu derlemede avahi destegi yok"};
#endif
    // Pairing then fails with this error and says so; the touch link works without it.
    return {std::make_shared<UnavailableDnsSd>(reason), {}, "dns-sd yok: " + reason.text()};
}

std::shared_ptr<SecretStore> chooseSecretStore(StoreKind kind, const Paths& paths,
                                               ApplicationLog& log) {
#if RAVNIX_HAVE_SECRET_SERVICE
    const SecretStoreKind selected = kind == StoreKind::file ? SecretStoreKind::file
                                     : kind == StoreKind::secretService
                                         ? SecretStoreKind::secretService
                                         : SecretStoreKind::automatic;
    auto selection = selectSecretStore(selected, paths);
    log.line(selection.logLine);
    return std::move(selection.store);
#else
    (void)kind;
    auto store = std::make_shared<FileSecretStore>(paths);
    log.line("gizli bilgi deposu: " + store->description() +
             " (bu derlemede Secret Service destegi yok)");
    return store;
#endif
}

// What the model is made from, and what the shell needs besides.
struct Startup {
    MacModel::Environment environment;
    std::string permissionHint;
};

// A page the permission buttons open: what this event backend needs before the pointer can
// move. Written into the log folder at each start so that it matches the running backend.
std::string writePermissionHelp(const Paths& paths, const std::string& hint) {
    const auto folder = paths.makeLogFolder();
    if (!folder) {
        return {};
    }
    const auto file = *folder / "izin-yardimi.html";
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"tr\"><head><meta charset=\"utf-8\">"
        "<title>Ravnix — giriş olayları izni</title></head><body>\n"
        "<h1>Ravnix'in imleci hareket ettirebilmesi için</h1>\n"
        "<p>Ravnix, telefondan gelen dokunmaları X11'in XTEST eklentisiyle gerçek fare ve klavye "
        "olaylarına çevirir. Bunun için bir X11 oturumunda (ya da XWayland altında) çalışması "
        "ve X sunucusunun XTEST eklentisini sunması gerekir.</p>\n<p>Şu anki durum: ";
    for (const char c : hint) {
        page += c == '<'   ? std::string("&lt;")
                : c == '&' ? std::string("&amp;")
                           : std::string(1, c);
    }
    page += "</p>\n<p>İzin hazır olduğunda Ravnix bunu bir saniye içinde kendiliğinden "
            "algılar.</p>\n</body></html>\n";
    if (!writeFileAtomically(file, page, 0644)) {
        return {};
    }
    return fileURI(file);
}

std::expected<Startup, std::string> prepare(const CommandLine& commandLine,
                                            std::shared_ptr<SerialQueue> mainQueue,
                                            const char* shellName) {
    const Paths paths(PathEnvironment::fromProcess());
    auto log = std::make_shared<ApplicationLog>(paths.applicationLogFile());
    log->line(std::string("ravnix ") + RAVNIX_VERSION +
              " basliyor · port=" + std::to_string(commandLine.port) + " · kabuk=" + shellName);

    auto events = chooseEvents(commandLine.events, paths);
    if (!events) {
        log->line("baslatilamadi: " + events.error());
        return std::unexpected(events.error());
    }
    log->line(events->logLine);

    auto workspace = DesktopWorkspace::create();
    if (!workspace) {
        log->line("baslatilamadi: " + workspace.error().text());
        return std::unexpected(workspace.error().text());
    }

    auto preferences = std::make_shared<FilePreferences>(paths);
    if (const auto problem = preferences->loadProblem()) {
        log->line("tercihler: " + problem->text());
    }

    DnsSdChoice dnsSd = chooseDnsSd();
    log->line(dnsSd.logLine);

    Startup startup;
    MacModel::Environment& environment = startup.environment;
    environment.mainQueue = std::move(mainQueue);
    environment.events = events->system;
    environment.preferences = std::move(preferences);
    environment.secrets = chooseSecretStore(commandLine.secretStore, paths, *log);
    environment.dnsSd = std::move(dnsSd.service);
    environment.workspace = std::shared_ptr<Workspace>(std::move(*workspace));
    environment.log = std::move(log);
    environment.clickLog = paths.clickLogFile();
    environment.motionLog = paths.motionLogFile();
    environment.addresses = localAddresses();
    environment.macName = hostDisplayName(dnsSd.hostName);
    environment.port = commandLine.port;
    environment.permissionHelpURL = writePermissionHelp(paths, events->permissionHint);
    startup.permissionHint = std::move(events->permissionHint);
    return startup;
}

// ---- signals ----

// Turns SIGINT and SIGTERM into a call on a thread of its own, so that nothing runs inside a
// signal handler. The signals must be blocked in every thread (block them before any starts).
class SignalWatcher {
  public:
    static std::expected<std::unique_ptr<SignalWatcher>, std::string>
    start(const sigset_t& signalSet, std::function<void(int)> onSignal) {
        const int signalFd = ::signalfd(-1, &signalSet, SFD_CLOEXEC);
        if (signalFd < 0) {
            return std::unexpected(std::string("signalfd: ") + std::strerror(errno));
        }
        const int wakeFd = ::eventfd(0, EFD_CLOEXEC);
        if (wakeFd < 0) {
            const int error = errno;
            ::close(signalFd);
            return std::unexpected(std::string("eventfd: ") + std::strerror(error));
        }
        std::unique_ptr<SignalWatcher> watcher(new SignalWatcher(signalFd, wakeFd));
        try {
            watcher->thread = std::thread(
                [raw = watcher.get(), onSignal = std::move(onSignal)] { raw->run(onSignal); });
        } catch (const std::system_error& error) {
            return std::unexpected(std::string("std::thread: ") + error.what());
        }
        return watcher;
    }

    ~SignalWatcher() {
        stop();
        ::close(signalFd);
        ::close(wakeFd);
    }
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    void stop() {
        const std::uint64_t one = 1;
        (void)!::write(wakeFd, &one, sizeof one);
        if (thread.joinable()) {
            thread.join();
        }
    }

  private:
    SignalWatcher(int signalFd, int wakeFd) : signalFd(signalFd), wakeFd(wakeFd) {}

    void run(const std::function<void(int)>& onSignal) {
        for (;;) {
            std::array<pollfd, 2> watched{{{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}}};
            if (::poll(watched.data(), watched.size(), -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (watched[1].revents != 0) {
                return;
            }
            signalfd_siginfo info{};
            if (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                onSignal(static_cast<int>(info.ssi_signo));
            }
        }
    }

    const int signalFd;
    const int wakeFd;
    std::thread thread;
};

// ---- the headless run ----

int runHeadless(const CommandLine& commandLine, const sigset_t& endSignals) {
    auto mainQueue = std::make_shared<AsioMainQueue>();

    // Before any other thread exists: they all inherit the blocked signals, so without a
    // watcher the signals must be unblocked again while that still reaches every thread.
    std::atomic<int> endSignal{0};
    auto watcher = SignalWatcher::start(endSignals, [&endSignal, mainQueue](int signal) {
        endSignal.store(signal);
        mainQueue->stop(); // also before run(): run() then returns at once
    });
    if (!watcher) {
        pthread_sigmask(SIG_UNBLOCK, &endSignals, nullptr);
    }

    auto startup = prepare(commandLine, mainQueue, "terminal");
    if (!startup) {
        std::fprintf(stderr, "ravnix: %s\n", startup.error().c_str());
        return 1;
    }
    const auto log = startup->environment.log;
    if (!watcher) {
        log->line("sinyaller izlenemiyor: " + watcher.error());
    }

    HeadlessShell::Options shellOptions;
    shellOptions.output = stdout;
    shellOptions.mainQueue = mainQueue;
    shellOptions.quit = [queue = std::weak_ptr<AsioMainQueue>(mainQueue)] {
        if (auto q = queue.lock()) {
            q->stop();
        }
    };
    if (!startup->permissionHint.empty()) {
        shellOptions.permissionHint = startup->permissionHint;
    }
    const auto shell = HeadlessShell::make(std::move(shellOptions));
    startup->environment.onboarding = shell->onboardingWindow();
    startup->environment.pairingWindow = shell->pairingWindow();
    startup->environment.guide = shell->guideWindow();

    auto made = MacModel::make(std::move(startup->environment));
    if (!made) {
        log->line("baslatilamadi: " + made.error().text());
        std::fprintf(stderr, "ravnix: başlatılamadı: %s\n", made.error().text().c_str());
        return 1;
    }
    std::shared_ptr<MacModel> model = std::move(*made);
    shell->attach(model);
    if (const auto reading = shell->startReading(STDIN_FILENO); !reading) {
        log->line("standart giris okunamiyor: " + reading.error().text());
        shell->inputEnded();
    }

    mainQueue->run();

    // Nothing may call into the model from another thread from here on: the signal watcher
    // and the input reader end first, then the model stops its own threads and writes the
    // recording, and it is destroyed here on the main thread.
    if (watcher) {
        (*watcher)->stop();
    }
    shell->stopReading();
    shell->detach();
    const int signal = endSignal.load();
    log->line(signal == SIGINT    ? "kapaniyor: SIGINT"
              : signal == SIGTERM ? "kapaniyor: SIGTERM"
                                  : "kapaniyor: komut");
    model->shutdown();
    model.reset();
    log->line("kapandi");
    return 0;
}

// ---- the tray application ----

#if RAVNIX_HAVE_QT
bool hasDisplay() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 != nullptr && *x11 != '\0') || (wayland != nullptr && *wayland != '\0');
}

int runDesktop(const CommandLine& commandLine, const sigset_t& endSignals, int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Ravnix"));
    QApplication::setApplicationVersion(QStringLiteral(RAVNIX_VERSION));
    QApplication::setQuitOnLastWindowClosed(false); // it lives in the tray

    // A second launch only asks the running one to show itself.
    const QString instanceName = SingleInstance::defaultName();
    if (SingleInstance::tellRunningInstance(instanceName)) {
        std::puts("ravnix zaten çalışıyor; öne gelmesi istendi.");
        return 0;
    }

    auto mainQueue = std::make_shared<QtMainQueue>();
    std::atomic<int> endSignal{0};
    auto watcher = SignalWatcher::start(endSignals, [&endSignal, mainQueue](int signal) {
        endSignal.store(signal);
        mainQueue->async([] { QCoreApplication::quit(); });
    });
    if (!watcher) {
        pthread_sigmask(SIG_UNBLOCK, &endSignals, nullptr);
    }

    auto startup = prepare(commandLine, mainQueue, "tepsi");
    if (!startup) {
        std::fprintf(stderr, "ravnix: %s\n", startup.error().c_str());
        return 1;
    }
    const auto log = startup->environment.log;
    const auto events = startup->environment.events;
    const LogFunction logFunction = [log](const std::string& text) { log->line(text); };
    auto guide = std::make_shared<QtGuideWindowController>(logFunction);
    auto pairing = std::make_shared<QtPairingWindowController>(logFunction);
    auto onboarding = std::make_shared<QtOnboardingWindowController>(
        logFunction, [weak = std::weak_ptr<QtGuideWindowController>(guide)] {
            if (auto g = weak.lock()) {
                g->show();
            }
        });
    startup->environment.onboarding = onboarding;
    startup->environment.pairingWindow = pairing;
    startup->environment.guide = guide;

    auto made = MacModel::make(std::move(startup->environment));
    if (!made) {
        log->line("baslatilamadi: " + made.error().text());
        std::fprintf(stderr, "ravnix: başlatılamadı: %s\n", made.error().text().c_str());
        return 1;
    }
    std::shared_ptr<MacModel> model = std::move(*made);
    onboarding->setModel(model);

    const bool useTray = QSystemTrayIcon::isSystemTrayAvailable();
    log->line(useTray ? "tepsi: var" : "tepsi: yok, panel pencere olarak acilir");
    auto shell = std::make_unique<DesktopShell>(DesktopShell::Parts{
        model, onboarding, guide,
        QStringLiteral("v") + QStringLiteral(RAVNIX_VERSION) + QStringLiteral(" (") +
            QStringLiteral(RAVNIX_BUILD) + QStringLiteral(")"),
        [] { QCoreApplication::quit(); }, useTray});
    SingleInstance instance;
    if (!instance.listen(instanceName, [&shell] { shell->reopen(); })) {
        log->line("tek kopya soketi acilamadi: " + instanceName.toStdString());
    }
    shell->launched(events->isTrusted());

    QApplication::exec();

    if (watcher) {
        (*watcher)->stop();
    }
    const int signal = endSignal.load();
    log->line(signal == SIGINT    ? "kapaniyor: SIGINT"
              : signal == SIGTERM ? "kapaniyor: SIGTERM"
                                  : "kapaniyor: cik");
    model->shutdown();
    shell.reset();
    model.reset();
    log->line("kapandi");
    return 0;
}
#endif

} // namespace

int main(int argc, char** argv) {
    const auto parsed = parseCommandLine(argc, argv);
    if (!parsed) {
        std::fprintf(stderr, "ravnix: %s\n", parsed.error().c_str());
        std::fputs(kUsage, stderr);
        return 2;
    }
    switch (parsed->request) {
    case Request::version:
        std::printf("ravnix %s\n", RAVNIX_VERSION);
        return 0;
    case Request::help:
        std::fputs(kUsage, stdout);
        std::fputs(kOptions, stdout);
        return 0;
    case Request::run:
        break;
    }

    // Blocked before any thread starts, so that every thread inherits the mask and only the
    // watcher receives them. A closed output pipe is an error to write to, not a reason to die.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

#if RAVNIX_HAVE_QT
    if (!parsed->commandLine.headless && hasDisplay()) {
        return runDesktop(parsed->commandLine, endSignals, argc, argv);
    }
#endif
    return runHeadless(parsed->commandLine, endSignals);
}
