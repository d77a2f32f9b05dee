// The portal backend against the real xdg-desktop-portal frontend with our test backend behind
// it, and against a frontend of our own that reports version 2 or answers badly on purpose
// (tests/support/portal.sh). What reached the portal is read back from the test services.

#include "platform/events/portal/PortalEventSystem.hpp"

#include "support/Eventually.hpp"
#include "support/TestService.hpp"
#include "unit/cli/ProcessSupport.hpp"
#include "unit/platform/TemporaryFolder.hpp"
#include "unit/platform/events/portal/PortalTestSupport.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace ravnix {
namespace {

using namespace std::chrono_literals;
using test::PortalObserver;
using test::PortalServiceControl;

constexpr const char* kBackendName = "org.freedesktop.impl.portal.RavnixTest";
constexpr const char* kFrontendName = "org.freedesktop.portal.Desktop";

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

void postMove(PortalEventSystem& events, double dx, double dy) {
    // As the injector does: the location read back plus the step.
    const Point origin = *events.pointerLocation();
    events.post(*events.mouseEvent(std::nullopt, MouseEventType::mouseMoved,
                                   {origin.x + dx, origin.y + dy}, MouseButton::left));
}

void postClick(PortalEventSystem& events, MouseButton button) {
    const Point at = *events.pointerLocation();
    const bool right = button == MouseButton::right;
    for (const auto type : {right ? MouseEventType::rightMouseDown : MouseEventType::leftMouseDown,
                            right ? MouseEventType::rightMouseUp : MouseEventType::leftMouseUp}) {
        events.post(*events.mouseEvent(std::nullopt, type, at, button));
    }
}

void postSmoothScroll(PortalEventSystem& events, std::int32_t vertical, std::int64_t phase) {
    auto event = *events.scrollWheelEvent(std::nullopt, vertical, 0);
    event.setIntegerField(EventField::scrollIsContinuous, 1);
    event.setIntegerField(EventField::scrollPhase, phase);
    events.post(event);
}

void postKey(PortalEventSystem& events, std::uint16_t keyCode, std::uint64_t flags) {
    for (const bool down : {true, false}) {
        auto event = *events.keyboardEvent(std::nullopt, keyCode, down);
        event.setFlags(flags);
        events.post(event);
    }
}

class PortalTest : public ::testing::Test {
  protected:
    // The bus of `key` in the portal service, with the control of `name` on it.
    void useService(const char* key, const char* name) {
        service = test::loadTestService("portal");
        if (!service.isAvailable()) {
            GTEST_SKIP() << "portal: " << service.skipReason;
        }
        busAddress = service[key];
        control = std::make_unique<PortalServiceControl>(busAddress, name);
        ASSERT_TRUE(control->isConnected()) << control->connectError;
        ASSERT_TRUE(control->reset());
    }

    std::shared_ptr<PortalEventSystem> start(bool requestAtStart = true,
                                             std::chrono::milliseconds replyTimeout = 10s) {
        PortalOptions options;
        options.busAddress = busAddress;
        options.stateFolder = folder.path() / "state";
        options.replyTimeout = replyTimeout;
        options.requestAtStart = requestAtStart;
        observer.attach(options);
        return PortalEventSystem::create(std::move(options));
    }

    test::TestService service;
    std::string busAddress;
    std::unique_ptr<PortalServiceControl> control;
    test::TemporaryFolder folder;
    PortalObserver observer; // outlives the backends of a test
};

class RealFrontend : public PortalTest {
  protected:
    void SetUp() override { useService("PORTAL_BUS", kBackendName); }
};

TEST_F(RealFrontend, TheWholeSessionReachesTheBackendInOrder) {
    // What the run-time choice asks first, without a session.
    EXPECT_EQ(PortalEventSystem::probe(busAddress, 5s), (PortalInfo{1, 3}));
    auto events = start();
    ASSERT_TRUE(observer.waitFor(true)) << observer.logText();
    EXPECT_TRUE(events->isTrusted());
    EXPECT_EQ(events->status().version, 1u);
    EXPECT_TRUE(events->status().reason.empty());
    // No compositor on this bus: no screens, no clamping, and the log says so.
    EXPECT_TRUE(events->screens().empty());
    EXPECT_TRUE(startsWith(events->screenOrigin(), "yok")) << events->screenOrigin();

    for (int i = 0; i < 200; ++i) {
        postMove(*events, 0.4, 0.15);
    }
    postClick(*events, MouseButton::left);
    postClick(*events, MouseButton::right);
    postSmoothScroll(*events, -30, 1);
    postSmoothScroll(*events, -12, 2);
    postSmoothScroll(*events, 0, 4);
    auto lines = *events->scrollWheelEvent(std::nullopt, 0, 0);
    lines.setIntegerField(EventField::scrollDeltaAxis1, 2);
    events->post(lines);
    postKey(*events, 2, EventFlags::shift | EventFlags::command); // Shift+Super+D

    const auto seen = control->waitForEvents(
        [](const std::vector<std::string>& lines) { return contains(lines, "key 42 0"); });
    // Motion queued while the frontend answers goes out summed, without losing a fraction.
    double sumX = 0, sumY = 0;
    std::vector<std::string> rest;
    for (const auto& line : seen) {
        char* tail = nullptr;
        if (!startsWith(line, "motion ")) {
            rest.push_back(line);
        } else {
            sumX += std::strtod(line.c_str() + 7, &tail);
            sumY += std::strtod(tail, nullptr);
        }
    }
    EXPECT_NEAR(sumX, 80.0, 1e-9);
    EXPECT_NEAR(sumY, 30.0, 1e-9);
    EXPECT_EQ(rest, (std::vector<std::string>{
                        "select types=3", "start", "button 272 1", "button 272 0", "button 273 1",
                        "button 273 0", "axis 0.0 30.0 finish=0", "axis 0.0 12.0 finish=0",
                        "axis 0.0 0.0 finish=1", "discrete 0 -2", "key 42 1", "key 125 1",
                        "key 32 1", "key 32 0", "key 125 0", "key 42 0"}));
    // Version 1 grants for this session only: nothing is kept.
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "state" / "portal-restore-token"));
}

TEST_F(RealFrontend, RefusalAndClosingTurnTrustOffAndAskingAgainWorks) {
    ASSERT_TRUE(control->setAnswer("Start", "deny"));
    auto events = start();
    const auto refused = observer.waitFor(false);
    ASSERT_TRUE(refused) << observer.logText();
    EXPECT_NE(refused->find("izin vermedi"), std::string::npos) << *refused;
    EXPECT_FALSE(events->isTrusted());
    EXPECT_EQ(events->status().reason, *refused);
    EXPECT_NE(observer.logText().find("izin yok: " + *refused), std::string::npos);

    ASSERT_TRUE(control->setAnswer("Start", "ok"));
    events->requestPermission();
    ASSERT_TRUE(observer.waitFor(true)) << observer.logText();

    ASSERT_TRUE(control->closeSessions());
    const auto closed = observer.waitFor(false);
    ASSERT_TRUE(closed) << observer.logText();
    EXPECT_NE(closed->find("kapatti"), std::string::npos) << *closed;
    // The poll reads trust without asking: no new request reaches the portal.
    EXPECT_FALSE(events->isTrusted());
    EXPECT_FALSE(events->status().isRequesting);

    events->requestPermission();
    ASSERT_TRUE(observer.waitFor(true)) << observer.logText();
    postMove(*events, 3, 4);
    const auto seen =
        control->waitForEvents([](const auto& lines) { return contains(lines, "motion 3.0 4.0"); });
    // Two grants, one closing in between, and motion only after the second grant.
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "start"), 3);
    EXPECT_EQ(seen.back(), "motion 3.0 4.0");
}

TEST_F(RealFrontend, SurvivesTheFrontendEndingMidRun) {
    auto events = start();
    ASSERT_TRUE(observer.waitFor(true)) << observer.logText();
    const auto frontend = control->ownerPid(kFrontendName);
    ASSERT_TRUE(frontend);
    ASSERT_EQ(::kill(*frontend, SIGTERM), 0);
    const auto gone = observer.waitFor(false);
    ASSERT_TRUE(gone) << observer.logText();
    EXPECT_NE(gone->find("veri yolundan ayrildi"), std::string::npos) << *gone;
    postMove(*events, 1, 1); // dropped: no session

    // Asking again starts a new frontend through the bus, and a new session with it.
    events->requestPermission();
    ASSERT_TRUE(observer.waitFor(true)) << observer.logText();
    EXPECT_NE(control->ownerPid(kFrontendName), frontend);
    postMove(*events, 2.5, -1);
    const auto seen = control->waitForEvents(
        [](const auto& lines) { return contains(lines, "motion 2.5 -1.0"); });
    EXPECT_FALSE(contains(seen, "motion 1.0 1.0"));
    EXPECT_EQ(seen.back(), "motion 2.5 -1.0");
}

class TestFrontend : public PortalTest {
  protected:
    void SetUp() override { useService("FAKE_BUS", kFrontendName); }
};

TEST_F(TestFrontend, VersionTwoRemembersTheGrantWithATokenKeptPrivately) {
    const auto tokenFile = folder.path() / "state" / "portal-restore-token";
    {
        auto events = start();
        ASSERT_TRUE(observer.waitFor(true)) << observer.logText();
        EXPECT_EQ(events->status().version, 2u);
    }
    ASSERT_TRUE(std::filesystem::exists(tokenFile));
    struct stat info {};
    ASSERT_EQ(::stat(tokenFile.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::string token;
    std::getline(std::ifstream(tokenFile), token);
    EXPECT_TRUE(startsWith(token, "ravnix-token-")) << token;

    auto events = start();
    ASSERT_TRUE(observer.waitFor(true)) << observer.logText();
    const auto seen = control->events();
    ASSERT_EQ(std::count_if(seen.begin(), seen.end(),
                            [](const auto& line) { return startsWith(line, "select "); }),
              2);
    EXPECT_EQ(seen.front(), "select types=3 persist_mode=2 restore_token=None");
    EXPECT_TRUE(contains(seen, "select types=3 persist_mode=2 restore_token=" + token));
}

TEST_F(TestFrontend, TheApplicationsScreensBoundThePointer) {
    auto events = start();
    ASSERT_TRUE(observer.waitFor(true)) << observer.logText();
    const Rect frames[] = {{0, 0, 200, 100}};
    events->setScreens(screenListFromTopLeft(frames), "Qt ekranlari");
    EXPECT_EQ(events->screenOrigin(), "Qt ekranlari"); // its log line: WaylandEndToEndTest
    // Pushed past the right edge: the pointer stays on the screen, and so does the next step.
    events->post(*events->mouseEvent(std::nullopt, MouseEventType::mouseMoved, {450, 40}, {}));
    EXPECT_EQ(events->pointerLocation(), (Point{199, 40}));
    postMove(*events, -9, 0);
    EXPECT_EQ(events->pointerLocation(), (Point{190, 40}));
}

TEST_F(TestFrontend, BadOrMissingAnswersEndTheRequestWithAReason) {
    struct Case {
        const char* step;
        const char* how;
        const char* reason;
    };
    const Case cases[] = {
        {"CreateSession", "no-handle", "session_handle yok"},
        {"CreateSession", "wrong-type", "session_handle turu yanlis"},
        {"CreateSession", "silent", "cevap vermedi: CreateSession"},
        {"SelectDevices", "cancel", "SelectDevices cevap=2"},
        {"Start", "bad-devices", "devices turu yanlis"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.step) + " " + c.how);
        ASSERT_TRUE(control->reset());
        ASSERT_TRUE(control->setAnswer(c.step, c.how));
        auto events = start(true, 500ms);
        const auto reason = observer.waitFor(false);
        ASSERT_TRUE(reason) << observer.logText();
        EXPECT_NE(reason->find(c.reason), std::string::npos) << *reason;
        EXPECT_FALSE(events->isTrusted());
        postMove(*events, 1, 1); // never blocks, never reaches the portal
    }
    const auto seen = control->events();
    EXPECT_TRUE(std::none_of(seen.begin(), seen.end(),
                             [](const std::string& line) { return startsWith(line, "motion"); }));
}

// A bus of this test's own, so that it can disappear, with the test frontend on it; both are
// killed with this object at the latest.
class OwnBus {
  public:
    explicit OwnBus(const std::filesystem::path& folder) : bus("/usr/bin/dbus-daemon") {
        const auto config = folder / "bus.conf";
        std::ofstream(config) << "<busconfig><type>session</type><listen>unix:path="
                              << (folder / "bus").string()
                              << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                 "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                                 "<allow own=\"*\"/></policy>"
                                 "</busconfig>\n";
        // The address is the first line it prints.
        if (bus.start({"--config-file=" + config.string(), "--nofork", "--print-address=1"}, {},
                      folder / "bus.txt") &&
            bus.waitForOutput("\n")) {
            address = bus.stdoutText().substr(0, bus.stdoutText().find('\n'));
        }
    }

    bool startFrontend(const std::string& python, const std::string& script,
                       const std::filesystem::path& log) {
        std::vector<std::string> env;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (!startsWith(*entry, "DBUS_SESSION_BUS_ADDRESS=")) {
                env.emplace_back(*entry);
            }
        }
        env.push_back("DBUS_SESSION_BUS_ADDRESS=" + address);
        frontend = std::make_unique<test::RavnixProcess>(python);
        if (!frontend->start({script, "frontend", log.string()}, env, "/dev/null")) {
            return false;
        }
        PortalServiceControl control(address, kFrontendName);
        if (!control.isConnected()) {
            ADD_FAILURE() << "own bus " << address << ": " << control.connectError;
            return false;
        }
        return test::eventually([&] { return control.ownerPid(kFrontendName).has_value(); }, 10s);
    }
    void stopBus() {
        bus.signal(SIGTERM);
        bus.waitForExit();
    }

    std::string address;

  private:
    test::RavnixProcess bus;
    std::unique_ptr<test::RavnixProcess> frontend;
};

TEST(PortalBus, ABusThatDisappearsEndsTrustWithoutHarm) {
    RAVNIX_REQUIRE_SERVICE(service, "portal");
    test::TemporaryFolder folder;
    OwnBus bus(folder.path());
    ASSERT_FALSE(bus.address.empty());
    EXPECT_FALSE(PortalEventSystem::probe(bus.address, 2s)); // no portal yet
    ASSERT_TRUE(bus.startFrontend(service["PORTAL_PYTHON"], service["PORTAL_SERVICE"],
                                  folder.path() / "frontend.log"));
    PortalObserver observer;
    PortalOptions options;
    options.busAddress = bus.address;
    observer.attach(options);
    auto events = PortalEventSystem::create(std::move(options));
    ASSERT_TRUE(observer.waitFor(true)) << observer.logText();

    bus.stopBus();
    const auto reason = observer.waitFor(false);
    ASSERT_TRUE(reason) << observer.logText();
    EXPECT_NE(reason->find("veri yolu"), std::string::npos) << *reason;
    postMove(*events, 1, 1);
    // Asking again finds no bus and says so at once; which failure the bus library notices
    // first (no connection, or the old one closing) varies.
    events->requestPermission();
    const auto again = observer.waitFor(false);
    ASSERT_TRUE(again) << observer.logText();
    EXPECT_FALSE(again->empty());
}

} // namespace
} // namespace ravnix
