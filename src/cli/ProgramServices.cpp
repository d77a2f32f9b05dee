#include "cli/ProgramServices.hpp"

#include "platform/Command.hpp"
#include "platform/FileSystem.hpp"
#include "platform/HostFacts.hpp"
#include "platform/Workspace.hpp"
#include "platform/events/RecordingEventSystem.hpp"
#include "platform/network/UnavailableDnsSd.hpp"
#include "platform/secret/FileSecretStore.hpp"

#if RAVNIX_HAVE_X11
#include "platform/events/x11/X11EventSystem.hpp"
#endif
#if RAVNIX_HAVE_PORTAL
#include "platform/events/portal/PortalEventSystem.hpp"
#endif
#if RAVNIX_HAVE_WLROOTS
#include "platform/events/wlroots/WlrootsEventSystem.hpp"
#endif
#if RAVNIX_HAVE_UINPUT
#include "platform/events/uinput/UinputEventSystem.hpp"
#endif
#if RAVNIX_HAVE_AVAHI
#include "platform/network/AvahiDnsSd.hpp"
#endif
#if RAVNIX_HAVE_SECRET_SERVICE
#include "platform/secret/SecretStoreSelection.hpp"
#endif
#if RAVNIX_HAVE_FIREWALLD
#include "platform/firewall/FirewalldBus.hpp"
#endif

#include <chrono>
#include <cstdlib>

namespace ravnix {

namespace {

using namespace std::chrono_literals;
using Events = RavnixOptions::Events;

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::shared_ptr<RecordingEventSystem> eventsThatPostNothing() {
    auto recorder = std::make_shared<RecordingEventSystem>();
    recorder->setKeepEvents(false);
    recorder->setTrusted(false);
    return recorder;
}

std::string htmlEscaped(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        escaped += c == '<'   ? std::string("&lt;")
                   : c == '&' ? std::string("&amp;")
                              : std::string(1, c);
    }
    return escaped;
}

// How long the grant of a portal of this version lasts, in the help page's words.
std::string portalGrantText(std::uint32_t version) {
    if (version >= 2) {
        return "Bu masaüstünün portalı (sürüm " + std::to_string(version) +
               ") izni hatırlar: bir kez izin verdiğinizde Ravnix sonraki açılışlarda sormadan "
               "bağlanır.";
    }
    if (version == 1) {
        return "Bu masaüstünün portalı (sürüm 1) izni yalnızca bu oturum için verir: her "
               "oturum açışınızda masaüstü yeniden sorar.";
    }
    return "Portal sürüm 1 ise izin yalnızca bu oturum için geçerlidir ve her oturumda yeniden "
           "sorulur; sürüm 2 ve sonrası izni hatırlar.";
}

} // namespace

GatheredEvents gatherEventFacts(Events kind, const DesktopFacts& desktop) {
    GatheredEvents gathered;
    EventFacts& facts = gathered.facts;
    facts.requested = kind;
    facts.sessionType = environmentValue("XDG_SESSION_TYPE");
    facts.hasWaylandDisplay = !environmentValue("WAYLAND_DISPLAY").empty();
    facts.hasX11Display = !environmentValue("DISPLAY").empty();
#if RAVNIX_HAVE_X11
    facts.x11.isBuilt = true;
    if (opensX11(facts)) {
        facts.x11.isTried = true;
        facts.x11.display = environmentValue("DISPLAY");
        auto display = X11EventSystem::open(
            nullptr, X11EventOptions{desktop.scale, desktop.doubleClickInterval});
        if (display) {
            facts.x11.isXwayland = (*display)->isXwayland();
            facts.x11.hasXTest = (*display)->isTrusted();
            gathered.x11Details = (*display)->display() + " " + (*display)->scaleDescription();
            gathered.x11 = std::move(*display);
        } else {
            facts.x11.problem = display.error().text();
        }
    }
#else
    (void)desktop;
#endif
#if RAVNIX_HAVE_PORTAL
    facts.portal.isBuilt = true;
    if (asksPortal(facts)) {
        facts.portal.isAsked = true;
        if (const auto info = PortalEventSystem::probe("", 2s)) {
            facts.portal.version = info->version;
            facts.portal.offersPointerAndKeyboard = info->offersPointerAndKeyboard();
        } else {
            facts.portal.problem = info.error().text();
        }
    }
#endif
#if RAVNIX_HAVE_WLROOTS
    facts.wlroots.isBuilt = true;
    if (asksWlroots(facts)) {
        facts.wlroots.isAsked = true;
        if (const auto globals = WlrootsEventSystem::probe("", 500ms)) {
            facts.wlroots.offersVirtualPointer = globals->offersVirtualPointer();
        } else {
            facts.wlroots.problem = globals.error().text();
        }
    }
#endif
#if RAVNIX_HAVE_UINPUT
    facts.uinput.isBuilt = true;
    if (probesUinput(facts)) {
        facts.uinput.isProbed = true;
        if (const auto writable = UinputEventSystem::probe(); !writable) {
            facts.uinput.problem = writable.error().text();
            facts.uinput.remedy = UinputEventSystem::remedy(writable.error());
        }
    }
#endif
    return gathered;
}

std::expected<EventsChoice, std::string> makeEvents(GatheredEvents gathered, const Paths& paths,
                                                    const DesktopFacts& desktop, LogFunction log) {
    auto decision = chooseEventBackend(gathered.facts);
    if (!decision) {
        return std::unexpected(decision.error());
    }
    EventsChoice choice;
    choice.decision = *decision;
    const std::string name(backendName(decision->backend));
    choice.description = name + " — " + decision->reason;
    choice.logLine = "olaylar: " + name + " · " + withoutDiacritics(decision->reason);
    choice.portalVersion = gathered.facts.portal.version;
    switch (decision->backend) {
    case EventBackend::none:
        choice.system = eventsThatPostNothing();
        choice.permissionHint = decision->reason + ". Çözüm: " + decision->remedy;
        choice.logLine += " · cozum: " + withoutDiacritics(decision->remedy);
        break;
    case EventBackend::log: {
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
        choice.system = std::move(recorder);
        choice.logLine += " · " + file.string();
        choice.description = "log — " + file.string();
        break;
    }
    case EventBackend::x11:
        choice.system = std::move(gathered.x11);
        choice.logLine += " · " + gathered.x11Details;
        choice.permissionHint = "X sunucusu XTEST eklentisini sunmuyor; olaylar gönderilemiyor";
        break;
    case EventBackend::portal: {
#if RAVNIX_HAVE_PORTAL
        PortalOptions options;
        options.stateFolder = paths.logFolder(); // the restore token lives here
        options.requestAtStart = true;
        options.screensFromDisplayConfig = !desktop.isTray;
        options.doubleClickInterval = desktop.doubleClickInterval;
        options.onEvent = [log](const std::string& line) {
            if (log) {
                log(line); // the backend's lines begin with "portal: "
            }
        };
        auto portal = PortalEventSystem::create(std::move(options));
        choice.requestPermission = [weak = std::weak_ptr<PortalEventSystem>(portal)] {
            if (auto p = weak.lock()) {
                p->requestPermission();
            }
        };
        choice.setScreens = [weak = std::weak_ptr<PortalEventSystem>(portal)](
                                std::span<const Rect> frames, const std::string& origin) {
            if (auto p = weak.lock()) {
                p->setScreens(screenListFromTopLeft(frames), origin);
            }
        };
        choice.system = std::move(portal);
        choice.permissionHint = "masaüstü uzaktan denetime izin vermedi; izni yeniden istemek için "
                                "izin yazın (tepside: kurulum penceresindeki düğme)";
#else
        (void)desktop;
        (void)log;
        return std::unexpected(std::string("bu derlemede portal desteği yok"));
#endif
        break;
    }
    case EventBackend::wlroots: {
#if RAVNIX_HAVE_WLROOTS
        WlrootsOptions options;
        options.doubleClickInterval = desktop.doubleClickInterval;
        options.onEvent = log;
        auto wlroots = WlrootsEventSystem::open(std::move(options));
        if (!wlroots) {
            return std::unexpected("wlroots sanal girdisi açılamadı: " + wlroots.error().text());
        }
        choice.system = std::move(*wlroots);
        choice.permissionHint =
            "bileşik sunucuyla bağlantı yok; geri geldiğinde yeniden bağlanılır";
#else
        return std::unexpected(std::string("bu derlemede wlroots desteği yok"));
#endif
        break;
    }
    case EventBackend::uinput: {
#if RAVNIX_HAVE_UINPUT
        UinputOptions options;
        options.doubleClickInterval = desktop.doubleClickInterval;
        options.onEvent = log;
        auto device = UinputEventSystem::create(std::move(options));
        if (!device) {
            return std::unexpected("uinput aygıtı oluşturulamadı: " + device.error().text() +
                                   ". Çözüm: " + UinputEventSystem::remedy(device.error()));
        }
        choice.logLine += " · " + (*device)->deviceNode();
        choice.setScreens = [weak = std::weak_ptr<UinputEventSystem>(*device)](
                                std::span<const Rect> frames, const std::string&) {
            if (auto system = weak.lock()) {
                system->setScreens(screenListFromTopLeft(frames));
            }
        };
        choice.system = std::move(*device);
        choice.permissionHint = "uinput aygıtına yazılamıyor";
#else
        return std::unexpected(std::string("bu derlemede uinput desteği yok"));
#endif
        break;
    }
    }
    return choice;
}

std::string writePermissionHelp(const Paths& paths, const EventsChoice& events) {
    const auto folder = paths.makeLogFolder();
    if (!folder) {
        return {};
    }
    std::string page = "<!DOCTYPE html>\n<html lang=\"tr\"><head><meta charset=\"utf-8\">"
                       "<title>Ravnix — giriş olayları izni</title></head><body>\n"
                       "<h1>Ravnix'in imleci hareket ettirebilmesi için</h1>\n";
    switch (events.decision.backend) {
    case EventBackend::portal:
        page += "<p>Ravnix, Wayland masaüstünde dokunmaları masaüstünün uzaktan denetim "
                "portalıyla (xdg-desktop-portal, RemoteDesktop) gerçek fare ve klavye "
                "olaylarına çevirir.</p>\n<p>İzin istendiğinde masaüstü kendi penceresinde, "
                "Ravnix'in bu bilgisayarı uzaktan denetlemesine izin verip vermediğinizi sorar. "
                "İzin verin; Ravnix bunu bir saniye içinde kendiliğinden algılar.</p>\n<p>" +
                htmlEscaped(portalGrantText(events.portalVersion)) +
                "</p>\n<p>İzni yeniden istemek için kurulum penceresindeki düğmeye basın ya da "
                "terminalde <code>izin</code> yazın.</p>\n";
        break;
    case EventBackend::x11:
        page += "<p>Ravnix, telefondan gelen dokunmaları X11'in XTEST eklentisiyle gerçek fare "
                "ve klavye olaylarına çevirir. Bunun için bir X11 oturumunda çalışması ve X "
                "sunucusunun XTEST eklentisini sunması gerekir.</p>\n";
        break;
    case EventBackend::wlroots:
        page += "<p>Ravnix, wlroots tabanlı bileşik sunucularda (sway, Hyprland, river) "
                "sunucunun sanal işaretçi ve klavyesini kullanır; izin gerekmez. Bileşik "
                "sunucunun kendi işaretçi ivmesi de uygulanır.</p>\n";
        break;
    case EventBackend::uinput:
        page += "<p>Ravnix, çekirdeğin sanal girdi aygıtını (/dev/uinput) kullanır. Oturumdaki "
                "kullanıcının bu aygıta yazabilmesi için Ravnix'in udev kuralı "
                "(70-ravnix-uinput.rules) kurulu olmalı ve uinput modülü yüklenmiş olmalıdır "
                "(<code>sudo modprobe uinput</code>).</p>\n";
        break;
    case EventBackend::log:
    case EventBackend::none:
        page += "<p>Ravnix, X11 oturumunda XTEST eklentisiyle, Wayland'de (GNOME, KDE) "
                "masaüstünün uzaktan denetim portalıyla, wlroots bileşik sunucularında sanal "
                "işaretçiyle, başka yerlerde /dev/uinput ile gerçek fare ve klavye olayları "
                "gönderir.</p>\n";
        break;
    }
    page += "<p>Seçilen olay sistemi: " + htmlEscaped(events.description) + "</p>\n";
    if (!events.permissionHint.empty()) {
        page += "<p>Olaylar masaüstüne ulaşmazsa: " + htmlEscaped(events.permissionHint) + "</p>\n";
    }
    page += "</body></html>\n";
    const auto file = *folder / "izin-yardimi.html";
    if (!writeFileAtomically(file, page, 0644)) {
        return {};
    }
    return fileURI(file);
}

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

std::pair<std::shared_ptr<SecretStore>, std::string> chooseSecretStore(SecretStoreChoice choice,
                                                                       const Paths& paths) {
#if RAVNIX_HAVE_SECRET_SERVICE
    const SecretStoreKind kind = choice == SecretStoreChoice::file ? SecretStoreKind::file
                                 : choice == SecretStoreChoice::secretService
                                     ? SecretStoreKind::secretService
                                     : SecretStoreKind::automatic;
    auto selection = selectSecretStore(kind, paths);
    return {std::move(selection.store), std::move(selection.logLine)};
#else
    (void)choice;
    auto store = std::make_shared<FileSecretStore>(paths);
    std::string line = "gizli bilgi deposu: " + store->description() +
                       " (bu derlemede Secret Service destegi yok)";
    return {std::move(store), std::move(line)};
#endif
}

DoctorProbes systemDoctorProbes(std::shared_ptr<DnsSd> dnsSd, std::shared_ptr<SecretStore> secrets,
                                std::function<EventBackendStatus()> events) {
    DoctorProbes probes;
    probes.interfaces = [] { return interfaceAddresses(); };
    probes.advertised = [dnsSd](const std::string& macIdentifier) {
        return browseOwnServices(*dnsSd, macIdentifier, 3s);
    };
    probes.listening = [](IpProtocol protocol, std::uint16_t port) {
        return listeningOn(protocol, port);
    };
    probes.ping = [](std::uint16_t port) { return pingTouchLink(port, 1s); };
    probes.firewall = [](std::span<const FirewallPort> ports, const std::string& interfaceName,
                         const std::string& address) {
#if RAVNIX_HAVE_FIREWALLD
        const FirewalldQuery firewalld = queryFirewalldOverBus;
#else
        const FirewalldQuery firewalld = [](const std::string&, std::span<const FirewallPort>) {
            return std::optional<FirewalldAnswer>();
        };
#endif
        return inspectFirewall(ports, interfaceName, address, firewalld, runCommand);
    };
    probes.events = std::move(events);
    probes.secrets = [secrets]() -> std::expected<std::string, std::string> {
        // An item nobody stores: "not found" is as good an answer as any.
        const auto answer = secrets->read({"com.belvor.ravnix.doctor", "probe"});
        if (answer.status == SecretStatusCode::success ||
            answer.status == SecretStatusCode::itemNotFound) {
            return secrets->description();
        }
        return std::unexpected(
            secrets->description() + ": " +
            secrets->message(answer.status).value_or("durum " + std::to_string(answer.status)));
    };
    return probes;
}

EventBackendStatus doctorEventStatus(const GatheredEvents& gathered,
                                     const std::expected<EventDecision, std::string>& decision) {
    if (!decision) {
        return {std::string(backendName(EventBackend::none)), false, decision.error(),
                "ravnix'i --events=auto ile başlatın"};
    }
    const std::string name(backendName(decision->backend));
    switch (decision->backend) {
    case EventBackend::log:
        return {name, true, "", ""};
    case EventBackend::none:
        return {name, false, decision->reason, decision->remedy};
    case EventBackend::x11:
        if (!gathered.facts.x11.hasXTest) {
            return {name, false, "X sunucusu XTEST eklentisini sunmuyor",
                    "X sunucusunu XTEST eklentisiyle başlatın"};
        }
        return {name + " (" + gathered.facts.x11.display + ")", true, "", ""};
    case EventBackend::portal:
        // The grant belongs to the running program's session; from outside it is enough that
        // the portal offers what it needs.
        if (!gathered.facts.portal.problem.empty() ||
            !gathered.facts.portal.offersPointerAndKeyboard) {
            return {name, false, decision->reason,
                    "xdg-desktop-portal ile masaüstünüzün portal arka ucunu kurun (GNOME: "
                    "xdg-desktop-portal-gnome, KDE: xdg-desktop-portal-kde)"};
        }
        return {name + " (sürüm " + std::to_string(gathered.facts.portal.version) +
                    ", izni masaüstü sorar)",
                true, "", ""};
    case EventBackend::wlroots:
        // Chosen only when the compositor advertised the virtual pointer.
        return {name, true, "", ""};
    case EventBackend::uinput:
        if (!gathered.facts.uinput.problem.empty()) {
            return {name, false, gathered.facts.uinput.problem, gathered.facts.uinput.remedy};
        }
        return {name + " (/dev/uinput)", true, "", ""};
    }
    return {name, false, "", ""};
}

} // namespace ravnix
