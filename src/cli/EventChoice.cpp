#include "cli/EventChoice.hpp"

#include <array>
#include <optional>
#include <utility>
#include <variant>

namespace ravnix {

namespace {

using Events = RavnixOptions::Events;

// A backend that does not suit: why (empty when it does not concern this session) and what
// would make it work.
struct Rejection {
    std::string why;
    std::string remedy;
};
using Candidate = std::variant<EventDecision, Rejection>;

constexpr std::string_view portalRemedy =
    "xdg-desktop-portal ile masaüstünüzün portal arka ucunu kurun (GNOME: "
    "xdg-desktop-portal-gnome, KDE: xdg-desktop-portal-kde)";
constexpr std::string_view sessionRemedy =
    "ravnix'i bir masaüstü oturumunda başlatın (X11, ya da GNOME veya KDE ile Wayland)";
constexpr std::string_view wlrootsRemedy =
    "sway, Hyprland ya da river gibi wlroots tabanlı bir bileşik sunucu sanal işaretçiyi "
    "kendiliğinden sunar";
constexpr std::string_view xwaylandWarning = "XTEST yalnızca XWayland pencerelerine ulaşır";

bool isWaylandSession(const EventFacts& facts) {
    if (facts.sessionType == "wayland") {
        return true;
    }
    return facts.sessionType != "x11" && facts.hasWaylandDisplay;
}

Candidate x11Candidate(const EventFacts& facts) {
    const X11Facts& x11 = facts.x11;
    if (isWaylandSession(facts)) {
        return Rejection{"Wayland oturumu", ""};
    }
    if (!x11.isBuilt) {
        return Rejection{"bu derlemede X11 desteği yok", ""};
    }
    if (!x11.isTried) {
        return Rejection{"X ekranı yok (DISPLAY boş)", ""};
    }
    if (!x11.problem.empty()) {
        return Rejection{"X11 ekranı açılamadı: " + x11.problem, ""};
    }
    if (x11.isXwayland) {
        return Rejection{"X sunucusu Xwayland; " + std::string(xwaylandWarning), ""};
    }
    return EventDecision{EventBackend::x11, "X11 oturumu, ekran " + x11.display, ""};
}

std::string portalVersion(const PortalFacts& portal) {
    return "masaüstü portalı (RemoteDesktop sürüm " + std::to_string(portal.version) + ")";
}

Candidate portalCandidate(const EventFacts& facts) {
    const PortalFacts& portal = facts.portal;
    if (!portal.isBuilt) {
        return Rejection{"bu derlemede portal desteği yok",
                         "ravnix'i GLib geliştirme paketiyle (libglib2.0-dev) yeniden derleyin"};
    }
    if (!portal.isAsked || !portal.problem.empty()) {
        return Rejection{"masaüstü portalı yanıt vermiyor" +
                             (portal.problem.empty() ? std::string() : " (" + portal.problem + ")"),
                         std::string(portalRemedy)};
    }
    if (!portal.offersPointerAndKeyboard) {
        return Rejection{portalVersion(portal) + " işaretçi ve klavye sunmuyor",
                         std::string(portalRemedy)};
    }
    return EventDecision{EventBackend::portal,
                         portalVersion(portal) + " işaretçi ve klavye sunuyor", ""};
}

Candidate wlrootsCandidate(const EventFacts& facts) {
    const WlrootsFacts& wlroots = facts.wlroots;
    if (!isWaylandSession(facts)) {
        return Rejection{"", ""};
    }
    if (!wlroots.isBuilt) {
        return Rejection{"bu derlemede wlroots desteği yok", ""};
    }
    if (!wlroots.isAsked || !wlroots.problem.empty()) {
        return Rejection{
            "Wayland bileşik sunucusu yanıt vermiyor" +
                (wlroots.problem.empty() ? std::string() : " (" + wlroots.problem + ")"),
            std::string(wlrootsRemedy)};
    }
    if (!wlroots.offersVirtualPointer) {
        return Rejection{"bileşik sunucu sanal işaretçi sunmuyor", std::string(wlrootsRemedy)};
    }
    return EventDecision{EventBackend::wlroots,
                         "bileşik sunucu wlroots sanal işaretçi ve klavyesini sunuyor", ""};
}

Candidate uinputCandidate(const EventFacts& facts) {
    const UinputFacts& uinput = facts.uinput;
    if (!uinput.isBuilt) {
        return Rejection{"bu derlemede uinput desteği yok", ""};
    }
    if (!uinput.isProbed || !uinput.problem.empty()) {
        return Rejection{"/dev/uinput yazılamıyor" +
                             (uinput.problem.empty() ? std::string() : " (" + uinput.problem + ")"),
                         uinput.remedy.empty() ? std::string() : "uinput için: " + uinput.remedy};
    }
    return EventDecision{EventBackend::uinput, "/dev/uinput yazılabilir: çekirdeğin sanal aygıtı",
                         ""};
}

// In the order --events=auto tries them.
constexpr std::array<Candidate (*)(const EventFacts&), 4> automaticOrder{
    &x11Candidate,
    &portalCandidate,
    &wlrootsCandidate,
    &uinputCandidate,
};

// Whether every backend before `candidate` in the order was rejected.
bool reachedInOrder(const EventFacts& facts, Candidate (*candidate)(const EventFacts&)) {
    for (const auto earlier : automaticOrder) {
        if (earlier == candidate) {
            return true;
        }
        if (std::holds_alternative<EventDecision>(earlier(facts))) {
            return false;
        }
    }
    return false;
}

void append(std::string& list, const std::string& item) {
    if (!item.empty() && list.find(item) == std::string::npos) {
        list += (list.empty() ? "" : "; ") + item;
    }
}

EventDecision chooseAutomatically(const EventFacts& facts) {
    std::string whys;
    std::string remedies;
    for (const auto candidate : automaticOrder) {
        auto outcome = candidate(facts);
        if (auto* chosen = std::get_if<EventDecision>(&outcome)) {
            // What was passed over says why this one, e.g. "Wayland oturumu; masaüstü portalı…".
            if (!whys.empty()) {
                chosen->reason = whys + "; " + chosen->reason;
            }
            return std::move(*chosen);
        }
        const auto& rejection = std::get<Rejection>(outcome);
        append(whys, rejection.why);
        append(remedies, rejection.remedy);
    }
    append(remedies, std::string(sessionRemedy));
    return {EventBackend::none, "uygun olay sistemi yok: " + whys, remedies};
}

} // namespace

std::string_view backendName(EventBackend backend) noexcept {
    switch (backend) {
    case EventBackend::x11:
        return "x11";
    case EventBackend::portal:
        return "portal";
    case EventBackend::wlroots:
        return "wlroots";
    case EventBackend::uinput:
        return "uinput";
    case EventBackend::log:
        return "log";
    case EventBackend::none:
        break;
    }
    return "none";
}

bool opensX11(const EventFacts& facts) {
    if (!facts.hasX11Display) {
        return false;
    }
    return facts.requested == Events::x11 ||
           (facts.requested == Events::automatic && !isWaylandSession(facts));
}

bool asksPortal(const EventFacts& facts) {
    switch (facts.requested) {
    case Events::portal:
        return true;
    case Events::automatic:
        return reachedInOrder(facts, &portalCandidate);
    default:
        break;
    }
    return false;
}

bool asksWlroots(const EventFacts& facts) {
    return facts.requested == Events::wlroots ||
           (facts.requested == Events::automatic && isWaylandSession(facts) &&
            reachedInOrder(facts, &wlrootsCandidate));
}

bool probesUinput(const EventFacts& facts) {
    return facts.requested == Events::uinput ||
           (facts.requested == Events::automatic && reachedInOrder(facts, &uinputCandidate));
}

std::expected<EventDecision, std::string> chooseEventBackend(const EventFacts& facts) {
    switch (facts.requested) {
    case Events::none:
        return EventDecision{EventBackend::none, "istendi (--events=none)",
                             "gerçek olaylar için ravnix'i --events=auto ile başlatın"};
    case Events::log:
        return EventDecision{EventBackend::log,
                             "istendi (--events=log): her olay events.log'a yazılır", ""};
    case Events::x11: {
        const X11Facts& x11 = facts.x11;
        if (!x11.isBuilt) {
            return std::unexpected(std::string("bu derlemede X11 desteği yok"));
        }
        if (!x11.isTried) {
            return std::unexpected(std::string("X11 ekranı yok (DISPLAY boş)"));
        }
        if (!x11.problem.empty()) {
            return std::unexpected("X11 ekranı açılamadı: " + x11.problem);
        }
        return EventDecision{EventBackend::x11,
                             "istendi (--events=x11), ekran " + x11.display +
                                 (x11.isXwayland
                                      ? "; sunucu Xwayland: " + std::string(xwaylandWarning)
                                      : std::string()),
                             ""};
    }
    case Events::portal: {
        const PortalFacts& portal = facts.portal;
        if (!portal.isBuilt) {
            return std::unexpected(std::string("bu derlemede portal desteği yok"));
        }
        // Forced, the backend is made whatever the portal says now: it may come later, and
        // the status says why events do not arrive meanwhile.
        std::string reason = "istendi (--events=portal)";
        if (!portal.problem.empty()) {
            reason += "; masaüstü portalı şimdilik yanıt vermiyor (" + portal.problem + ")";
        } else if (portal.isAsked) {
            reason += "; " + portalVersion(portal) +
                      (portal.offersPointerAndKeyboard ? " işaretçi ve klavye sunuyor"
                                                       : " işaretçi ve klavye sunmuyor");
        }
        return EventDecision{EventBackend::portal, reason, ""};
    }
    case Events::wlroots: {
        const WlrootsFacts& wlroots = facts.wlroots;
        if (!wlroots.isBuilt) {
            return std::unexpected(std::string("bu derlemede wlroots desteği yok"));
        }
        if (!wlroots.problem.empty() || !wlroots.offersVirtualPointer) {
            return std::unexpected("wlroots sanal işaretçisi yok: " +
                                   (wlroots.problem.empty() ? std::string("bileşik sunucu sunmuyor")
                                                            : wlroots.problem));
        }
        return EventDecision{EventBackend::wlroots, "istendi (--events=wlroots)", ""};
    }
    case Events::uinput: {
        const UinputFacts& uinput = facts.uinput;
        if (!uinput.isBuilt) {
            return std::unexpected(std::string("bu derlemede uinput desteği yok"));
        }
        if (!uinput.problem.empty()) {
            return std::unexpected("/dev/uinput yazılamıyor (" + uinput.problem +
                                   "): " + uinput.remedy);
        }
        return EventDecision{EventBackend::uinput, "istendi (--events=uinput)", ""};
    }
    case Events::automatic:
        break;
    }
    return chooseAutomatically(facts);
}

std::string withoutDiacritics(std::string_view text) {
    static constexpr std::array<std::pair<std::string_view, char>, 12> letters{{
        {"ç", 'c'},
        {"Ç", 'C'},
        {"ğ", 'g'},
        {"Ğ", 'G'},
        {"ı", 'i'},
        {"İ", 'I'},
        {"ö", 'o'},
        {"Ö", 'O'},
        {"ş", 's'},
        {"Ş", 'S'},
        {"ü", 'u'},
        {"Ü", 'U'},
    }};
    std::string plain;
    plain.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        bool replaced = false;
        for (const auto& [letter, latin] : letters) {
            if (text.substr(at, letter.size()) == letter) {
                plain.push_back(latin);
                at += letter.size();
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            plain.push_back(text[at++]);
        }
    }
    return plain;
}

} // namespace ravnix
