// The whole road: the desktop program and the phone program as a user starts them, with
// private XDG folders, file secret stores, avahi on lo and an X server. What the desktop did
// is read back from the X server, its click log and its own output. Every wait is bounded and
// every child is killed in teardown.

#include "RoadSupport.hpp"
#include "guide/DemoFrames.hpp"
#include "guide/GuideCatalog.hpp"
#include "input/TouchInterpreter.hpp"
#include "platform/events/RecordingEventSystem.hpp"
#include "unit/platform/events/XObserver.hpp"

#include <algorithm>
#include <functional>
#include <gtest/gtest.h>

namespace ravnix::test {
namespace {

using namespace std::chrono_literals;
#define RAVNIX_START_ROAD(road)                                                                    \
    RAVNIX_REQUIRE_SERVICE(xvfb, "xvfb");                                                          \
    RAVNIX_REQUIRE_SERVICE(avahi, "avahi");                                                        \
    Road road;                                                                                     \
    ASSERT_TRUE(road.setUp(avahi, {"DISPLAY=" + xvfb["DISPLAY"]}, "--events=x11"))                 \
        << road.desktop.text();

// Where the injector's curve puts the pointer after `demo` from `start`, on the recording
// backend's one 1440 × 900 screen; the X11 backend also keeps the fractions between frames.
Point predictedPointer(const char* demo, Point start) {
    auto events = std::make_shared<RecordingEventSystem>();
    events->setPointer(start);
    char pattern[] = "/tmp/ravnix-predict-XXXXXX";
    const std::filesystem::path folder = mkdtemp(pattern);
    auto injector = std::make_shared<PointerInjector>(events, PointerSettings::standard,
                                                      folder / "tiklama.log");
    auto interpreter = TouchInterpreter::make(
        {injector, ScrollSettings::standard, nullptr, nullptr, folder / "hareket.csv", {}});
    const auto frames = demoFrames(gestureDemo(demo), {}).value();
    std::uint32_t sequence = 0;
    for (const DemoFrame& frame : frames) {
        const TouchHeader header{
            ++sequence,  static_cast<std::uint64_t>(frame.time * 1e9) + 1'000'000'000ULL,
            0,           static_cast<std::uint8_t>(frame.fingers.size()),
            frame.flags, frame.clickCount};
        (*interpreter)->handle(header, frame.fingers);
    }
    interpreter->reset();
    std::filesystem::remove_all(folder);
    return events->pointerLocation().value_or(start);
}

TEST(PhoneEndToEndTest, PairingShowsOneCodeOnBothSidesAndStoresBothEnds) {
    RAVNIX_START_ROAD(road);
    const auto pairing = road.pair();
    EXPECT_FALSE(pairing.desktopCode.empty()) << road.desktop.text();
    EXPECT_EQ(pairing.phoneCode, pairing.desktopCode);
    ASSERT_EQ(pairing.status, 0) << pairing.phoneText;
    EXPECT_NE(pairing.phoneText.find("accepted: "), std::string::npos) << pairing.phoneText;

    const std::size_t before = road.desktop.printedSize();
    road.desktop.write("cihazlar\n");
    EXPECT_TRUE(road.desktop.waitFor("1. Test telefonu · Yapay · id=", 3s, before))
        << road.desktop.text();

    // The phone's file store holds the record with the loopback host it connected to.
    bool found = false;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(
             road.folder / "phone" / "data" / "ravnix" / "keychain")) {
        found = found || readFile(entry.path()).find("\"127.0.0.1\"") != std::string::npos;
    }
    EXPECT_TRUE(found) << "no stored pairing with host 127.0.0.1";
    const auto ping = road.phone({"ping", "--count", "3"});
    EXPECT_EQ(ping.status, 0) << ping.text;
    EXPECT_NE(ping.text.find("örnek     3  (kayıp 0"), std::string::npos) << ping.text;
    EXPECT_NE(ping.text.find("saat farkı"), std::string::npos) << ping.text;
}

TEST(PhoneEndToEndTest, ASecondDesktopTakesOtherPortsSaysSoAndBothPair) {
    RAVNIX_REQUIRE_SERVICE(avahi, "avahi");
    Road first;
    ASSERT_TRUE(first.setUp(avahi, {}, "--events=log")) << first.desktop.text();
    Road second;
    ASSERT_TRUE(second.setUp(avahi, {}, "--events=log")) << second.desktop.text();
    // The first holds 9932 and 9933 (or something else does): the second cannot have them.
    const auto log = readFile(second.folder / "desktop" / "state" / "ravnix" / "pencere.log");
    EXPECT_NE(log.find("eslestirme portu 9932/tcp baska bir programda"), std::string::npos) << log;
    EXPECT_NE(log.find("esler arasi portu 9933/udp baska bir programda"), std::string::npos) << log;
    // DNS-SD carries the ports actually bound, so a phone pairs with either.
    EXPECT_EQ(first.pair().status, 0) << first.desktop.text();
    EXPECT_EQ(second.pair().status, 0) << second.desktop.text();
}

TEST(PhoneEndToEndTest, PlayingTheCursorDemoMovesThePointerUpAndRight) {
    RAVNIX_START_ROAD(road);
    ASSERT_EQ(road.pair().status, 0);
    XObserver x(xvfb["DISPLAY"]);
    ASSERT_NE(x.display, nullptr);
    const Point from{400, 600};
    x.warp(400, 600);
    const Point predicted = predictedPointer("imlec", from);
    const auto run = road.phone({"play", "imlec"});
    ASSERT_EQ(run.status, 0) << run.text;
    const Point end = x.pointer();
    EXPECT_GT(end.x, from.x);
    EXPECT_LT(end.y, from.y);
    // The curve smooths speed over frames, so arrival jitter on a busy machine changes the
    // travel little: within 10 % (at least 8 px) of the prediction.
    EXPECT_NEAR(end.x, predicted.x, std::max(8.0, 0.1 * std::abs(predicted.x - from.x)));
    EXPECT_NEAR(end.y, predicted.y, std::max(8.0, 0.1 * std::abs(predicted.y - from.y)));
}

// The click log's button lines, "solBas state=1" and so on, once `count` have been written (a
// completed click's release comes 55 ms after it), or whatever there is after five seconds.
std::vector<std::string> buttonLines(const Road& road, std::size_t count) {
    std::vector<std::string> buttons;
    eventually([&] {
        buttons.clear();
        std::istringstream log(road.clickLog());
        for (std::string line; std::getline(log, line);) {
            const auto space = line.find(" state=");
            if (space != std::string::npos) {
                buttons.push_back(line.substr(0, line.find(' ', space + 1)));
            }
        }
        return buttons.size() >= count;
    });
    return buttons;
}

TEST(PhoneEndToEndTest, TapsClickOnceAndTwiceAndTwoFingersClickRight) {
    RAVNIX_START_ROAD(road);
    ASSERT_EQ(road.pair().status, 0);
    for (const char* demo : {"sol-tik", "cift-tik", "sag-tik"}) {
        const auto run = road.phone({"play", demo});
        ASSERT_EQ(run.status, 0) << demo << ": " << run.text;
    }
    EXPECT_EQ(buttonLines(road, 8),
              (std::vector<std::string>{"solBas state=1", "solBirak state=1", "solBas state=1",
                                        "solBirak state=1", "solBas state=2", "solBirak state=2",
                                        "sagBas state=1", "sagBirak state=1"}))
        << road.clickLog();
}

// What the desktop posted into a window of the test during `demo`: collected once the
// desktop has logged the end of the demo's contact, until `done` holds for them.
std::vector<XEvent> eventsDuring(Road& road, const TestService& xvfb, const char* demo,
                                 const std::function<bool(const std::vector<XEvent>&)>& done) {
    XObserver x(xvfb["DISPLAY"]);
    EXPECT_NE(x.display, nullptr);
    if (x.display == nullptr) {
        return {};
    }
    x.listen();
    x.warp(700, 450);
    (void)x.events();
    auto contacts = [&] {
        const std::string log = road.clickLog();
        std::size_t count = 0;
        for (auto at = log.find("temas "); at != std::string::npos;
             at = log.find("temas ", at + 1)) {
            ++count;
        }
        return count;
    };
    const std::size_t before = contacts();
    const auto run = road.phone({"play", demo});
    EXPECT_EQ(run.status, 0) << run.text;
    EXPECT_TRUE(eventually([&] { return contacts() > before; })) << road.clickLog();
    std::vector<XEvent> all;
    EXPECT_TRUE(eventually([&] {
        const auto more = x.events();
        all.insert(all.end(), more.begin(), more.end());
        return done(all);
    }));
    return all;
}

// Wheel presses (buttons 4 and 5) among `events`, with and without Control held.
std::pair<int, int> wheelPresses(const std::vector<XEvent>& events, unsigned button) {
    int plain = 0;
    int controlled = 0;
    for (const XEvent& event : events) {
        if (event.type == ButtonPress && event.xbutton.button == button) {
            ((event.xbutton.state & ControlMask) != 0 ? controlled : plain) += 1;
        }
    }
    return {plain, controlled};
}

TEST(PhoneEndToEndTest, TwoFingersScrollAndZoomAndThreeFingersDrag) {
    RAVNIX_START_ROAD(road);
    ASSERT_EQ(road.pair().status, 0);
    const auto scrolled = eventsDuring(road, xvfb, "kaydirma", [](const auto& events) {
        const auto [up, upControlled] = wheelPresses(events, 4);
        return up + upControlled + wheelPresses(events, 5).first > 3;
    });
    EXPECT_EQ(wheelPresses(scrolled, 4).second + wheelPresses(scrolled, 5).second, 0);
    EXPECT_EQ(wheelPresses(scrolled, 1), std::make_pair(0, 0));

    // Spreading the fingers and closing them again: both wheel directions, all with Control.
    const auto pinched = eventsDuring(road, xvfb, "yakinlastir", [](const auto& events) {
        return wheelPresses(events, 4).second > 0 && wheelPresses(events, 5).second > 0;
    });
    EXPECT_EQ(wheelPresses(pinched, 4).first + wheelPresses(pinched, 5).first, 0);

    // Three fingers drag: a left press, motions with the button held, its release.
    auto left = [](int type) {
        return [type](const XEvent& e) { return e.type == type && e.xbutton.button == 1; };
    };
    const auto dragged = eventsDuring(road, xvfb, "uc-parmak-surukleme", [&](const auto& all) {
        return std::ranges::any_of(all, left(ButtonRelease));
    });
    const auto press = std::ranges::find_if(dragged, left(ButtonPress));
    const auto release = std::find_if(press, dragged.end(), left(ButtonRelease));
    ASSERT_NE(release, dragged.end());
    EXPECT_GT(std::count_if(press, release,
                            [](const XEvent& e) {
                                return e.type == MotionNotify && (e.xmotion.state & Button1Mask);
                            }),
              10);
}

TEST(PhoneEndToEndTest, ThePeerRouteWorksTheSameAndShowsAsAirDrop) {
    RAVNIX_START_ROAD(road);
    ASSERT_EQ(road.pair().status, 0);
    const auto ping = road.phone({"ping", "--count", "3", "--route", "airdrop"});
    EXPECT_EQ(ping.status, 0) << ping.text;
    EXPECT_NE(ping.text.find("örnek     3  (kayıp 0"), std::string::npos) << ping.text;

    XObserver x(xvfb["DISPLAY"]);
    ASSERT_NE(x.display, nullptr);
    x.warp(400, 600);
    const std::size_t before = road.desktop.printedSize();
    const auto run = road.phone({"play", "imlec", "--route", "airdrop"});
    ASSERT_EQ(run.status, 0) << run.text;
    EXPECT_GT(x.pointer().x, 400);
    EXPECT_LT(x.pointer().y, 600);
    EXPECT_TRUE(road.desktop.waitFor("durum: Kullanılıyor · AirDrop", 2s, before))
        << road.desktop.text();
}

TEST(PhoneEndToEndTest, UnpairingOnTheDesktopIsNoticedByThePhone) {
    RAVNIX_START_ROAD(road);
    ASSERT_EQ(road.pair().status, 0);
    const std::size_t before = road.desktop.printedSize();
    road.desktop.write("kaldir 1\n");
    ASSERT_TRUE(road.desktop.waitFor("eşleşme kaldırıldı", 3s, before)) << road.desktop.text();

    const auto run = road.phone({"play", "sol-tik"});
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.text.find("eşleştirmeyi kaldırmış"), std::string::npos) << run.text;
    EXPECT_EQ(road.clickLog().find("solBas"), std::string::npos) << "a refused frame clicked";

    const auto status = road.phone({"status"});
    EXPECT_EQ(status.status, 0) << status.text;
    EXPECT_NE(status.text.find(" eşleştirmeyi kaldırmış. Yeniden eşleşmeniz gerekiyor."),
              std::string::npos)
        << status.text;
    EXPECT_NE(status.text.find("öneri: Eşleştir"), std::string::npos) << status.text;
}

TEST(PhoneEndToEndTest, ARefusalOnEitherSideStoresNothing) {
    RAVNIX_START_ROAD(road);
    const auto refusedByDesktop = road.pair(false, true);
    EXPECT_NE(refusedByDesktop.status.value_or(0), 0);
    EXPECT_NE(refusedByDesktop.phoneText.find("rejected"), std::string::npos)
        << refusedByDesktop.phoneText;

    const auto refusedByPhone = road.pair(true, false);
    EXPECT_NE(refusedByPhone.status.value_or(0), 0);
    EXPECT_EQ(refusedByPhone.phoneText.find("accepted"), std::string::npos);
    EXPECT_TRUE(refusedByPhone.desktopClosed) << road.desktop.text();

    const std::size_t before = road.desktop.printedSize();
    road.desktop.write("cihazlar\n");
    EXPECT_TRUE(road.desktop.waitFor("eşleşmiş cihaz yok", 3s, before)) << road.desktop.text();
    const auto ping = road.phone({"ping", "--count", "1"});
    EXPECT_EQ(ping.status, 1);
    EXPECT_NE(ping.text.find("eşleştirme yok"), std::string::npos) << ping.text;
}

} // namespace
} // namespace ravnix::test
