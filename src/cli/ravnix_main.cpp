// The desktop program's entry: reads the command line, builds the services the application
// model is made from, and runs the model under a shell until it is told to end.
//
// Two shells over the same services: the tray application (Qt) when a display is there, and
// the terminal shell with --headless or without a display.

#include "app/ApplicationLog.hpp"
#include "app/ConnectionDoctor.hpp"
#include "app/MacModel.hpp"
#include "cli/HeadlessShell.hpp"
#include "cli/ProgramServices.hpp"
#include "cli/RavnixOptions.hpp"
#include "cli/Version.hpp"
#include "platform/AsioMainQueue.hpp"
#include "platform/FilePreferences.hpp"
#include "platform/FileSystem.hpp"
#include "platform/HostFacts.hpp"
#include "platform/Paths.hpp"
#include "platform/Workspace.hpp"
#include "platform/detail/AsioLoop.hpp"

#if RAVNIX_HAVE_QT
#include "ui/DesktopShell.hpp"
#include "ui/DoctorWindow.hpp"
#include "ui/QtMainQueue.hpp"
#include "ui/QtScreens.hpp"
#include "ui/QtWindowControllers.hpp"
#include "ui/SingleInstance.hpp"

#include <QApplication>
#include <QSocketNotifier>
#include <QStyleHints>
#include <QSystemTrayIcon>
#include <sys/signalfd.h>
#endif

#include <asio/signal_set.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <expected>
#include <memory>
#include <optional>
#include <pthread.h>
#include <string>
#include <string_view>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

using namespace ravnix;

void printText(std::string_view text, FILE* stream) {
    std::fwrite(text.data(), 1, text.size(), stream);
}

// ---- services ----

// What the model is made from, and what the shells need besides.
struct Startup {
    MacModel::Environment environment;
    EventsChoice events;
    SecretStoreChoice secretStoreChoice = SecretStoreChoice::automatic;
};

std::expected<Startup, std::string> prepare(const RavnixOptions& commandLine,
                                            std::shared_ptr<SerialQueue> mainQueue,
                                            const char* shellName, const DesktopFacts& desktop) {
    const Paths paths(PathEnvironment::fromProcess());
    auto log = std::make_shared<ApplicationLog>(paths.applicationLogFile());
    log->line(std::string("ravnix ") + RAVNIX_VERSION +
              " basliyor · port=" + std::to_string(commandLine.port) + " · kabuk=" + shellName);

    auto events = makeEvents(gatherEventFacts(commandLine.events, desktop), paths, desktop,
                             [log](const std::string& line) { log->line(line); });
    if (!events) {
        log->line("baslatilamadi: " + withoutDiacritics(events.error()));
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
    auto [secrets, secretsLine] = chooseSecretStore(commandLine.secretStore, paths);
    log->line(secretsLine);

    Startup startup;
    MacModel::Environment& environment = startup.environment;
    environment.mainQueue = std::move(mainQueue);
    environment.events = events->system;
    environment.preferences = std::move(preferences);
    environment.secrets = std::move(secrets);
    environment.dnsSd = std::move(dnsSd.service);
    environment.workspace = std::shared_ptr<Workspace>(std::move(*workspace));
    environment.log = std::move(log);
    environment.clickLog = paths.clickLogFile();
    environment.motionLog = paths.motionLogFile();
    environment.addresses = localAddresses();
    environment.macName = hostDisplayName(dnsSd.hostName);
    environment.port = commandLine.port;
    environment.pairingPort = commandLine.pairingPort;
    environment.peerPort = commandLine.peerPort;
    environment.permissionHelpURL = writePermissionHelp(paths, *events);
    startup.events = std::move(*events);
    startup.secretStoreChoice = commandLine.secretStore;
    return startup;
}

// The doctor for the running program: its ports, identifier and event system as they are now,
// the services it was made from. Made on the main queue; the run may go on any thread.
std::function<std::vector<DoctorCheck>()> doctorFor(const MacModel& model,
                                                    const std::shared_ptr<DnsSd>& dnsSd,
                                                    const std::shared_ptr<SecretStore>& secrets,
                                                    const EventsChoice& events) {
    // The ports the running listeners hold, which the firewall must admit.
    const DoctorSettings settings{
        model.port(), model.listener() ? model.listener()->port() : std::uint16_t{0},
        model.peerListener() ? model.peerListener()->port() : std::uint16_t{0},
        model.macIdentifier()};
    const EventBackendStatus status{std::string(backendName(events.decision.backend)),
                                    model.isTrusted(),
                                    model.isTrusted() ? std::string() : model.statusText(),
                                    model.isTrusted()               ? std::string()
                                    : events.permissionHint.empty() ? events.decision.remedy
                                                                    : events.permissionHint};
    const auto probes = systemDoctorProbes(dnsSd, secrets, [status] { return status; });
    return [settings, probes] { return runDoctor(settings, probes); };
}

// ---- the connection doctor, from outside ----

// Examines the program that runs (or should run) with these options: its ports, its identifier
// from the preferences file, the event backend the same choice would make (asking no
// permission) and the same secret store. One line per check; 0 when every check passed.
int runConnectionDoctor(const RavnixOptions& commandLine) {
    const Paths paths(PathEnvironment::fromProcess());
    const FilePreferences preferences(paths);
    const std::string macIdentifier = preferences.stringValue("macIdentifier").value_or("");
    const auto gathered = gatherEventFacts(commandLine.events, DesktopFacts{});
    const EventBackendStatus events =
        doctorEventStatus(gathered, chooseEventBackend(gathered.facts));
    const DnsSdChoice dnsSd = chooseDnsSd();
    auto secrets = chooseSecretStore(commandLine.secretStore, paths).first;
    const auto checks = runDoctor(
        DoctorSettings{commandLine.port, commandLine.pairingPort, commandLine.peerPort,
                       macIdentifier},
        systemDoctorProbes(dnsSd.service, std::move(secrets), [events] { return events; }));
    bool allPassed = true;
    for (const auto& check : checks) {
        const std::string line = doctorLine(check) + "\n";
        printText(line, stdout);
        allPassed = allPassed && check.passed;
    }
    std::fflush(stdout);
    return allPassed ? 0 : 1;
}

// ---- the headless run ----

int runHeadless(const RavnixOptions& commandLine) {
    int endSignal = 0; // before the queue: a signal's handler may still be queued at its end
    auto mainQueue = std::make_shared<AsioMainQueue>();

    // SIGINT and SIGTERM end the loop as work on it; nothing else runs in the signal handler.
    // A signal that comes while the program starts waits for the loop to run. Unblocked in
    // case the parent left them blocked.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &endSignals, nullptr);
    asio::signal_set endSignalSet(mainQueue->engine().context());
    std::error_code signalError;
    endSignalSet.add(SIGINT, signalError);
    if (!signalError) {
        endSignalSet.add(SIGTERM, signalError);
    }
    if (!signalError) {
        endSignalSet.async_wait([&endSignal, queue = std::weak_ptr<AsioMainQueue>(mainQueue)](
                                    const std::error_code& error, int signal) {
            const auto q = queue.lock();
            if (!error && q) {
                endSignal = signal;
                q->stop();
            }
        });
    }

    // The terminal: Xft.dpi for the scale, the usual double-click interval, and the event
    // backend finds the screens itself.
    auto startup = prepare(commandLine, mainQueue, "terminal", DesktopFacts{});
    if (!startup) {
        std::fprintf(stderr, "ravnix: %s\n", startup.error().c_str());
        return 1;
    }
    const auto log = startup->environment.log;
    if (signalError) {
        log->line("sinyaller izlenemiyor: signal_set: " + signalError.message());
    }

    HeadlessShell::Options shellOptions;
    shellOptions.output = stdout;
    shellOptions.mainQueue = mainQueue;
    shellOptions.quit = [queue = std::weak_ptr<AsioMainQueue>(mainQueue)] {
        if (auto q = queue.lock()) {
            q->stop();
        }
    };
    const EventsChoice& events = startup->events;
    if (!events.permissionHint.empty()) {
        shellOptions.permissionHint = events.permissionHint;
    }
    shellOptions.eventsDescription = events.description;
    shellOptions.requestPermission = events.requestPermission;
    std::weak_ptr<MacModel> weakModel;
    shellOptions.doctor = [&weakModel, &events, dnsSd = startup->environment.dnsSd,
                           secrets = startup->environment.secrets] {
        const auto model = weakModel.lock();
        return model ? doctorFor(*model, dnsSd, secrets, events)
                     : std::function<std::vector<DoctorCheck>()>(
                           [] { return std::vector<DoctorCheck>{}; });
    };
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
    weakModel = model;
    shell->attach(model);
    if (const auto reading = shell->startReading(STDIN_FILENO); !reading) {
        log->line("standart giris okunamiyor: " + reading.error().text());
        shell->inputEnded();
    }

    mainQueue->run();

    // The loop does not run again: the shell lets go of standard input and of the model, then
    // the model stops its own threads and writes the recording, and it is destroyed here on
    // the main thread. A further signal meanwhile changes nothing.
    shell->stopReading();
    shell->detach();
    log->line(endSignal == SIGINT    ? "kapaniyor: SIGINT"
              : endSignal == SIGTERM ? "kapaniyor: SIGTERM"
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

int runDesktop(const RavnixOptions& commandLine, int argc, char** argv) {
    // Blocked before Qt starts a thread, so that every thread inherits the mask and SIGINT and
    // SIGTERM arrive only through the descriptor that the event loop watches.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);
    const UniqueFd signalFd(::signalfd(-1, &endSignals, SFD_CLOEXEC | SFD_NONBLOCK));
    const int signalFdError = signalFd ? 0 : errno;
    if (!signalFd) {
        pthread_sigmask(SIG_UNBLOCK, &endSignals, nullptr);
    }

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
    // Claimed before the slow start-up, so that a launch meanwhile finds this one; a reopen
    // asked for before the shell exists is carried out once it does.
    std::unique_ptr<DesktopShell> shell;
    bool reopenWaiting = false;
    SingleInstance instance;
    const bool isSingle = instance.listen(instanceName, [&shell, &reopenWaiting] {
        if (shell) {
            shell->reopen();
        } else {
            reopenWaiting = true;
        }
    });

    auto mainQueue = std::make_shared<QtMainQueue>();
    int endSignal = 0;
    std::optional<QSocketNotifier> signalNotifier;
    if (signalFd) {
        signalNotifier.emplace(signalFd.get(), QSocketNotifier::Read);
        QObject::connect(
            &*signalNotifier, &QSocketNotifier::activated, [&endSignal, fd = signalFd.get()] {
                signalfd_siginfo info{};
                if (::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                    endSignal = static_cast<int>(info.ssi_signo);
                    QCoreApplication::quit();
                }
            });
    }

    // Qt knows the desktop's scale, its double-click interval and its screens.
    const DesktopFacts desktop{qGuiApp->devicePixelRatio(),
                               QGuiApplication::styleHints()->mouseDoubleClickInterval() / 1000.0,
                               true};
    auto startup = prepare(commandLine, mainQueue, "tepsi", desktop);
    if (!startup) {
        std::fprintf(stderr, "ravnix: %s\n", startup.error().c_str());
        return 1;
    }
    const auto log = startup->environment.log;
    if (!signalFd) {
        log->line(std::string("sinyaller izlenemiyor: signalfd: ") + std::strerror(signalFdError));
    }
    const auto eventSystem = startup->environment.events;
    const EventsChoice& events = startup->events;
    const auto dnsSd = startup->environment.dnsSd;
    const auto secrets = startup->environment.secrets;
    const LogFunction logFunction = [log](const std::string& text) { log->line(text); };
    if (events.setScreens) {
        // The portal cannot tell a Wayland client the screens; Qt can.
        followQtScreens(&application,
                        [setScreens = events.setScreens](const std::vector<Rect>& frames) {
                            setScreens(frames, "Qt ekranlari");
                        });
    }
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
    onboarding->setRequestPermission(events.requestPermission);
    DoctorWindowController doctor(
        [weak = std::weak_ptr<MacModel>(model), dnsSd, secrets, &events] {
            const auto current = weak.lock();
            return current ? doctorFor(*current, dnsSd, secrets, events)
                           : DoctorWindowController::Run([] { return std::vector<DoctorCheck>{}; });
        },
        logFunction);

    const bool useTray = QSystemTrayIcon::isSystemTrayAvailable();
    // A Wayland window cannot place itself, so the panel is not put beside the tray icon.
    const bool canPlaceWindows = QGuiApplication::platformName() != QStringLiteral("wayland");
    log->line(std::string(useTray ? "tepsi: var" : "tepsi: yok, panel pencere olarak acilir") +
              " · platform=" + QGuiApplication::platformName().toStdString());
    DesktopShell::Parts parts;
    parts.model = model;
    parts.onboarding = onboarding;
    parts.guide = guide;
    parts.versionLabel = QStringLiteral("v") + QStringLiteral(RAVNIX_VERSION) +
                         QStringLiteral(" (") + QStringLiteral(RAVNIX_BUILD) + QStringLiteral(")");
    parts.quit = [] { QCoreApplication::quit(); };
    parts.useTray = useTray;
    parts.canPlaceWindows = canPlaceWindows;
    parts.eventsDescription = QString::fromStdString(events.description);
    parts.checkConnection = [&doctor] { doctor.start(); };
    shell = std::make_unique<DesktopShell>(std::move(parts));
    if (!isSingle) {
        log->line("tek kopya soketi acilamadi: " + instanceName.toStdString());
    }
    shell->launched(eventSystem->isTrusted());
    if (reopenWaiting) {
        shell->reopen();
    }

    QApplication::exec();

    log->line(endSignal == SIGINT    ? "kapaniyor: SIGINT"
              : endSignal == SIGTERM ? "kapaniyor: SIGTERM"
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
    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    const auto parsed = parseRavnixOptions(arguments);
    if (!parsed) {
        std::fprintf(stderr, "ravnix: %s\n", parsed.error().text.c_str());
        printText(ravnixUsage, stderr);
        return 2;
    }
    switch (parsed->request) {
    case ProgramRequest::version:
        std::printf("ravnix %s\n", RAVNIX_VERSION);
        return 0;
    case ProgramRequest::help:
        printText(ravnixUsage, stdout);
        printText(ravnixOptionsHelp, stdout);
        return 0;
    case ProgramRequest::run:
        break;
    }
    // A closed output pipe is an error to write to, not a reason to die.
    std::signal(SIGPIPE, SIG_IGN);
    if (parsed->doctor) {
        return runConnectionDoctor(*parsed);
    }

#if RAVNIX_HAVE_QT
    if (!parsed->headless && hasDisplay()) {
        return runDesktop(*parsed, argc, argv);
    }
#endif
    return runHeadless(*parsed);
}
