// The event backend for each kind of session: a table of facts as the program gathers them,
// and the backend, the words of its reason and of its remedy that each must give.

#include "cli/EventChoice.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace ravnix::test {
namespace {

using Events = RavnixOptions::Events;

X11Facts xorg() {
    return {true, true, ":0", "", false, true};
}
X11Facts xwayland() {
    return {true, true, ":0", "", true, true};
}
X11Facts unreachableX() {
    return {true, true, ":9", "xcb_connect(:9): Connection refused", false, false};
}
PortalFacts portalOffering(std::uint32_t version) {
    return {true, true, "", version, true};
}
PortalFacts portalWithoutKeyboard() {
    return {true, true, "", 1, false};
}
PortalFacts silentPortal() {
    return {true, true, "org.freedesktop.portal.Desktop yok", 0, false};
}
WlrootsFacts wlrootsPointer(bool offered) {
    return {true, true, "", offered};
}
UinputFacts uinputWritable() {
    return {true, true, "", ""};
}
UinputFacts uinputMissing() {
    return {true, true, "open(/dev/uinput): No such file or directory", "sudo modprobe uinput"};
}

// The facts of a session; the backends' own facts default to "not built".
EventFacts facts(Events requested, std::string session, bool wayland, bool x11Display,
                 X11Facts x11 = {}, PortalFacts portal = {}, WlrootsFacts wlroots = {},
                 UinputFacts uinput = {}) {
    EventFacts result;
    result.requested = requested;
    result.sessionType = std::move(session);
    result.hasWaylandDisplay = wayland;
    result.hasX11Display = x11Display;
    result.x11 = std::move(x11);
    result.portal = std::move(portal);
    result.wlroots = std::move(wlroots);
    result.uinput = std::move(uinput);
    return result;
}
WlrootsFacts wlrootsBuilt() {
    WlrootsFacts built;
    built.isBuilt = true;
    return built;
}
UinputFacts uinputBuilt() {
    UinputFacts built;
    built.isBuilt = true;
    return built;
}

struct Row {
    const char* what;
    EventFacts facts;
    EventBackend backend;
    std::vector<std::string> inReason; // each appears in the reason
    std::string inRemedy;              // appears in the remedy ("" : the remedy is empty)
};

TEST(EventChoice, EachSessionGetsItsBackendAndSaysWhy) {
    const std::vector<Row> table = {
        {"X11 session",
         facts(Events::automatic, "x11", false, true, xorg(), {}),
         EventBackend::x11,
         {"X11 oturumu", ":0"},
         ""},
        {"no session type, plain X server",
         facts(Events::automatic, "", false, true, xorg(), {}),
         EventBackend::x11,
         {"X11 oturumu"},
         ""},
        {"GNOME on Wayland",
         facts(Events::automatic, "wayland", true, true, {}, portalOffering(1)),
         EventBackend::portal,
         {"Wayland oturumu", "sürüm 1", "işaretçi ve klavye sunuyor"},
         ""},
        {"Wayland display without a session type",
         facts(Events::automatic, "", true, false, {}, portalOffering(2)),
         EventBackend::portal,
         {"Wayland oturumu", "sürüm 2"},
         ""},
        {"an X11 session type whose server is XWayland",
         facts(Events::automatic, "x11", false, true, xwayland(), portalOffering(1)),
         EventBackend::portal,
         {"Xwayland", "işaretçi ve klavye sunuyor"},
         ""},
        {"Wayland, portal lacks the keyboard",
         facts(Events::automatic, "wayland", true, true, {}, portalWithoutKeyboard()),
         EventBackend::none,
         {"uygun olay sistemi yok", "sunmuyor"},
         "xdg-desktop-portal-gnome"},
        {"Wayland, no portal answers",
         facts(Events::automatic, "wayland", true, false, {}, silentPortal()),
         EventBackend::none,
         {"yanıt vermiyor", "org.freedesktop.portal.Desktop yok"},
         "xdg-desktop-portal-kde"},
        {"no display at all",
         facts(Events::automatic, "tty", false, false, {true, false, "", "", false, false},
               silentPortal()),
         EventBackend::none,
         {"DISPLAY boş"},
         "masaüstü oturumunda"},
        {"X11 session, display refuses",
         facts(Events::automatic, "x11", false, true, unreachableX(), silentPortal()),
         EventBackend::none,
         {"X11 ekranı açılamadı", "Connection refused"},
         "masaüstü"},
        {"a build without X11 or portal",
         facts(Events::automatic, "x11", false, true, {}, {}),
         EventBackend::none,
         {"X11 desteği yok", "portal desteği yok"},
         "libglib2.0-dev"},
        {"forced portal on X11, portal silent",
         facts(Events::portal, "x11", false, true, xorg(), silentPortal()),
         EventBackend::portal,
         {"--events=portal", "şimdilik yanıt vermiyor"},
         ""},
        {"forced X11 on XWayland",
         facts(Events::x11, "wayland", true, true, xwayland(), {}),
         EventBackend::x11,
         {"--events=x11", "XWayland pencerelerine"},
         ""},
        {"sway: no portal, a virtual pointer",
         facts(Events::automatic, "wayland", true, false, {}, silentPortal(), wlrootsPointer(true),
               uinputMissing()),
         EventBackend::wlroots,
         {"yanıt vermiyor", "wlroots sanal işaretçi"},
         ""},
        {"a compositor without virtual pointer, uinput writable",
         facts(Events::automatic, "wayland", true, false, {}, silentPortal(), wlrootsPointer(false),
               uinputWritable()),
         EventBackend::uinput,
         {"sanal işaretçi sunmuyor", "/dev/uinput yazılabilir"},
         ""},
        {"Wayland with none of them names both remedies",
         facts(Events::automatic, "wayland", true, false, {}, silentPortal(), wlrootsPointer(false),
               uinputMissing()),
         EventBackend::none,
         {"/dev/uinput yazılamıyor", "No such file"},
         "wlroots tabanlı bir bileşik sunucu"},
        {"uinput on a console",
         facts(Events::automatic, "tty", false, false, {}, {}, {}, uinputWritable()),
         EventBackend::uinput,
         {"/dev/uinput yazılabilir"},
         ""},
        {"forced wlroots",
         facts(Events::wlroots, "wayland", true, false, {}, {}, wlrootsPointer(true), {}),
         EventBackend::wlroots,
         {"--events=wlroots"},
         ""},
        {"forced log",
         facts(Events::log, "wayland", true, false, {}, {}),
         EventBackend::log,
         {"events.log"},
         ""},
        {"forced none",
         facts(Events::none, "x11", false, true, xorg(), {}),
         EventBackend::none,
         {"--events=none"},
         "--events=auto"},
    };
    for (const auto& row : table) {
        const auto decision = chooseEventBackend(row.facts);
        ASSERT_TRUE(decision) << row.what << ": " << decision.error();
        EXPECT_EQ(backendName(decision->backend), backendName(row.backend)) << row.what;
        for (const auto& words : row.inReason) {
            EXPECT_NE(decision->reason.find(words), std::string::npos)
                << row.what << ": " << decision->reason;
        }
        if (row.inRemedy.empty()) {
            EXPECT_EQ(decision->remedy, "") << row.what;
        } else {
            EXPECT_NE(decision->remedy.find(row.inRemedy), std::string::npos)
                << row.what << ": " << decision->remedy;
        }
    }
}

TEST(EventChoice, AForcedX11WithoutADisplayRefusesToStart) {
    const std::vector<std::pair<EventFacts, std::string>> refused = {
        {facts(Events::x11, "x11", false, false, {true, false, "", "", false, false}, {}),
         "X11 ekranı yok (DISPLAY boş)"},
        {facts(Events::x11, "x11", false, true, unreachableX(), {}),
         "X11 ekranı açılamadı: xcb_connect(:9): Connection refused"},
        {facts(Events::x11, "x11", false, true, {}, {}), "bu derlemede X11 desteği yok"},
        {facts(Events::portal, "wayland", true, false, {}, {}), "bu derlemede portal desteği yok"},
        {facts(Events::wlroots, "wayland", true, false, {}, {}, wlrootsPointer(false), {}),
         "wlroots sanal işaretçisi yok: bileşik sunucu sunmuyor"},
        {facts(Events::uinput, "tty", false, false, {}, {}, {}, uinputMissing()),
         "/dev/uinput yazılamıyor (open(/dev/uinput): No such file or directory): sudo modprobe "
         "uinput"},
    };
    for (const auto& [facts, complaint] : refused) {
        const auto decision = chooseEventBackend(facts);
        ASSERT_FALSE(decision) << complaint;
        EXPECT_EQ(decision.error(), complaint);
    }
}

TEST(EventChoice, OnlyTheFactsTheChoiceNeedsAreGathered) {
    // An X display is not opened on a Wayland session (it could start an XWayland), the
    // portal not asked once X11 suits.
    EXPECT_TRUE(opensX11(facts(Events::automatic, "x11", false, true, {}, {})));
    EXPECT_FALSE(opensX11(facts(Events::automatic, "wayland", true, true, {}, {})));
    EXPECT_TRUE(opensX11(facts(Events::x11, "wayland", true, true, {}, {})));
    EXPECT_FALSE(opensX11(facts(Events::portal, "x11", false, true, {}, {})));
    EXPECT_FALSE(opensX11(facts(Events::automatic, "x11", false, false, {}, {})));

    EXPECT_FALSE(asksPortal(facts(Events::automatic, "x11", false, true, xorg(), {})));
    EXPECT_TRUE(asksPortal(facts(Events::automatic, "x11", false, true, xwayland(), {})));
    EXPECT_TRUE(asksPortal(facts(Events::automatic, "wayland", true, false, {}, {})));
    EXPECT_TRUE(asksPortal(facts(Events::portal, "x11", false, true, xorg(), {})));
    EXPECT_FALSE(asksPortal(facts(Events::log, "wayland", true, false, {}, {})));

    // The compositor is asked only when the portal did not suit, /dev/uinput only after it.
    EXPECT_FALSE(asksWlroots(facts(Events::automatic, "wayland", true, false, {}, portalOffering(1),
                                   wlrootsBuilt(), uinputBuilt())));
    EXPECT_TRUE(asksWlroots(facts(Events::automatic, "wayland", true, false, {}, silentPortal(),
                                  wlrootsBuilt(), uinputBuilt())));
    EXPECT_FALSE(asksWlroots(
        facts(Events::automatic, "x11", false, true, xorg(), {}, wlrootsBuilt(), uinputBuilt())));
    EXPECT_FALSE(probesUinput(facts(Events::automatic, "wayland", true, false, {}, silentPortal(),
                                    wlrootsPointer(true), uinputBuilt())));
    EXPECT_TRUE(probesUinput(facts(Events::automatic, "wayland", true, false, {}, silentPortal(),
                                   wlrootsPointer(false), uinputBuilt())));
    EXPECT_FALSE(
        probesUinput(facts(Events::automatic, "x11", false, true, xorg(), {}, {}, uinputBuilt())));
}

TEST(EventChoice, LogLinesLoseOnlyTheTurkishLetters) {
    EXPECT_EQ(withoutDiacritics("Wayland oturumu; masaüstü portalı işaretçi ve klavye sunuyor"),
              "Wayland oturumu; masaustu portali isaretci ve klavye sunuyor");
    EXPECT_EQ(withoutDiacritics("ÇĞİÖŞÜ çğıöşü — 9931/udp"), "CGIOSU cgiosu — 9931/udp");
}

} // namespace
} // namespace ravnix::test
