// The whole road: the desktop program and the phone program as a user starts them, with
// private XDG folders, file secret stores, avahi on lo and an X server. What the desktop did
// is read back from the X server, its click log and its own output. Every wait is bounded and
// every child is killed in teardown.

#include "ProcessSupport.hpp"
#include "guide/DemoFrames.hpp"
#include "guide/GuideCatalog.hpp"
#include "input/PointerInjector.hpp"
#include "input/TouchInterpreter.hpp"
#include "platform/events/RecordingEventSystem.hpp"
#include "support/TestService.hpp"

#include <X11/Xlib.h>
#include <arpa/inet.h>
#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace ravnix::test {
namespace {

using namespace std::chrono_literals;
// A child program (the desktop or the phone) with the waits these tests need beyond the
// process tests' own: patterns, offsets into the output, exit codes.
class Child : public RavnixProcess {
  public:
    Child() : RavnixProcess(std::string()) {}

    bool start(const char* program, const std::vector<std::string>& arguments,
               const std::vector<std::string>& env, const std::filesystem::path& errorFile) {
        binary = program;
        errors = errorFile;
        return RavnixProcess::start(arguments, env, errorFile);
    }

    // Reads standard output until `pattern` matches somewhere in it; the match, or none.
    std::optional<std::string> waitFor(const std::regex& pattern, std::chrono::milliseconds limit,
                                       std::size_t from = 0) {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            std::smatch match;
            const std::string tail = printed.substr(std::min(from, printed.size()));
            if (std::regex_search(tail, match, pattern)) {
                return match.str(match.size() > 1 ? 1 : 0);
            }
            if (Clock::now() >= deadline || !readSome(deadline)) {
                return std::nullopt;
            }
        }
    }
    bool waitFor(std::string_view text, std::chrono::milliseconds limit, std::size_t from = 0) {
        const auto deadline = Clock::now() + limit;
        while (printed.find(text, std::min(from, printed.size())) == std::string::npos) {
            if (Clock::now() >= deadline || !readSome(deadline)) {
                return false;
            }
        }
        return true;
    }

    void write(std::string_view text) { writeInput(text); }

    // The exit code (128 + signal when killed), or none when still running at the limit.
    std::optional<int> waitForExit(std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                while (readSome(Clock::now() + 50ms)) {
                }
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            readSome(std::min(deadline, Clock::now() + 10ms));
        }
        return std::nullopt;
    }

    std::string text() const { return printed + readFile(errors); }
    std::size_t printedSize() const { return printed.size(); }

  private:
    std::filesystem::path errors;
};

const std::regex kCodeLine("(?:^|\\n)(\\d{3} \\d{3})\\n");

// One desktop and one phone, each with its own folders; the desktop runs until teardown.
class Road {
  public:
    bool setUp(const TestService& xvfb, const TestService& avahi) {
        char pattern[] = "/tmp/ravnix-road-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            return false;
        }
        folder = pattern;
        port = freeUdpPort();
        for (const char* side : {"desktop", "phone"}) {
            auto& env = std::string(side) == "desktop" ? desktopEnv : phoneEnv;
            const auto home = folder / side;
            env = {"HOME=" + home.string(),
                   "XDG_CONFIG_HOME=" + (home / "config").string(),
                   "XDG_STATE_HOME=" + (home / "state").string(),
                   "XDG_DATA_HOME=" + (home / "data").string(),
                   "DISPLAY=" + xvfb["DISPLAY"],
                   "DBUS_SYSTEM_BUS_ADDRESS=" + avahi["DBUS_SYSTEM_BUS_ADDRESS"],
                   "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (folder / "no-session-bus").string()};
            for (const char* passed : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
                if (const char* value = std::getenv(passed)) {
                    env.push_back(std::string(passed) + "=" + value);
                }
            }
        }
        return port != 0 &&
               desktop.start(RAVNIX_BINARY,
                             {"--headless", "--events=x11", "--port", std::to_string(port),
                              "--secret-store=file"},
                             desktopEnv, folder / "desktop-stderr.txt") &&
               desktop.waitFor("durum: ", 10s);
    }
    ~Road() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    // Runs the phone program to its end; its exit status and everything it wrote.
    struct Run {
        std::optional<int> status;
        std::string text;
    };
    Run phone(std::vector<std::string> arguments, std::chrono::milliseconds limit = 12s) {
        arguments.push_back("--secret-store=file");
        Child child;
        if (!child.start(RAVNIX_PHONE_BINARY, arguments, phoneEnv, folder / "phone-stderr.txt")) {
            return {};
        }
        const auto status = child.waitForExit(limit);
        return {status, child.text()};
    }

    // The desktop's service name, as the phone's browser lists it with our port.
    std::optional<std::string> desktopName() {
        Child browse;
        if (!browse.start(RAVNIX_PHONE_BINARY, {"browse", "--seconds", "5"}, phoneEnv,
                          folder / "browse-stderr.txt")) {
            return std::nullopt;
        }
        return browse.waitFor(
            std::regex("\\n  (.+) · id=[^\\n]* · udp=" + std::to_string(port) + "\\n"), 6s);
    }

    // The whole pairing with both confirmations; the two codes shown and the phone's end.
    struct Pairing {
        std::string desktopCode;
        std::string phoneCode;
        std::optional<int> status;
        std::string phoneText;
        bool desktopClosed = false;
    };
    Pairing pair(bool desktopAccepts = true, bool phoneAccepts = true) {
        Pairing result;
        const auto name = desktopName();
        if (!name) {
            result.phoneText = "the desktop was not listed by browse";
            return result;
        }
        Child phone;
        if (!phone.start(RAVNIX_PHONE_BINARY,
                         {"pair", *name, "--name", "Test telefonu", "--model", "Yapay",
                          "--secret-store=file"},
                         phoneEnv, folder / "pair-stderr.txt")) {
            return result;
        }
        const std::size_t before = desktop.printedSize();
        result.desktopCode = desktop.waitFor(kCodeLine, 8s, before).value_or("");
        result.phoneCode = phone.waitFor(kCodeLine, 8s).value_or("");
        if (phone.waitFor("(evet/hayır): ", 3s)) {
            phone.write(phoneAccepts ? "evet\n" : "hayır\n");
        }
        if (!phoneAccepts) {
            // The phone's refusal closes the desktop's question; nobody answers it.
            result.status = phone.waitForExit(8s);
            result.phoneText = phone.text();
            result.desktopClosed = desktop.waitFor("eşleştirme isteği kapandı", 3s, before);
            return result;
        }
        if (desktop.waitFor("(evet/hayır): ", 3s, before)) {
            desktop.write(desktopAccepts ? "evet\n" : "hayır\n");
        }
        result.status = phone.waitForExit(8s);
        result.phoneText = phone.text();
        return result;
    }

    std::filesystem::path desktopLogs() const { return folder / "desktop" / "state" / "ravnix"; }
    std::string clickLog() const { return readFile(desktopLogs() / "tiklama.log"); }

    std::filesystem::path folder;
    std::uint16_t port = 0;
    std::vector<std::string> desktopEnv;
    std::vector<std::string> phoneEnv;
    Child desktop;
};

#define RAVNIX_START_ROAD(road)                                                                    \
    RAVNIX_REQUIRE_SERVICE(xvfb, "xvfb");                                                          \
    RAVNIX_REQUIRE_SERVICE(avahi, "avahi");                                                        \
    Road road;                                                                                     \
    ASSERT_TRUE(road.setUp(xvfb, avahi)) << road.desktop.text();

// ---- X11 observation ----

struct XObserver {
    explicit XObserver(const std::string& name) : display(XOpenDisplay(name.c_str())) {}
    ~XObserver() {
        if (window != 0) {
            XDestroyWindow(display, window);
        }
        if (display != nullptr) {
            XCloseDisplay(display);
        }
    }
    std::pair<int, int> pointer() const {
        Window root = 0, child = 0;
        int x = 0, y = 0, wx = 0, wy = 0;
        unsigned buttons = 0;
        XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &wx, &wy,
                      &buttons);
        return {x, y};
    }
    void warp(int x, int y) const {
        XWarpPointer(display, None, DefaultRootWindow(display), 0, 0, 0, 0, x, y);
        XSync(display, False);
    }
    // A window over the whole screen that reports the buttons and motions it receives.
    void listen() {
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.event_mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask;
        window = XCreateWindow(display, DefaultRootWindow(display), 0, 0, 1440, 900, 0,
                               CopyFromParent, InputOutput, CopyFromParent,
                               CWOverrideRedirect | CWEventMask, &attributes);
        XMapRaised(display, window);
        XSync(display, False);
    }
    std::vector<XEvent> events() const {
        std::vector<XEvent> found;
        XSync(display, False);
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            found.push_back(event);
        }
        return found;
    }

    Display* display;
    Window window = 0;
};

// Where the injector's curve puts the pointer after `demo`, starting at (x, y) on one
// 1440 × 900 screen, with positions rounded to whole pixels as the X server keeps them.
std::pair<double, double> predictedPointer(const char* demo, double x, double y) {
    auto events = std::make_shared<RecordingEventSystem>();
    ScreenList screens;
    screens.frames[0] = Rect{0, 0, 1440, 900};
    screens.count = 1;
    events->setScreens(screens);
    events->setPointer(Point{x, y});
    events->setOnPost([&events](const InputEvent& event) {
        if (event.kind == InputEvent::Kind::mouse) {
            events->setPointer(Point{std::round(event.location.x), std::round(event.location.y)});
        }
    });
    char pattern[] = "/tmp/ravnix-predict-XXXXXX";
    const std::filesystem::path folder = mkdtemp(pattern);
    auto injector = std::make_shared<PointerInjector>(events, PointerSettings::standard,
                                                      folder / "tiklama.log");
    auto interpreter = TouchInterpreter::make(
        {injector, ScrollSettings::standard, nullptr, nullptr, folder / "hareket.csv", {}});
    EXPECT_TRUE(interpreter);
    const auto frames = demoFrames(gestureDemo(demo), {});
    EXPECT_TRUE(frames);
    std::uint32_t sequence = 0;
    for (const DemoFrame& frame : *frames) {
        const TouchHeader header{
            ++sequence,  static_cast<std::uint64_t>(frame.time * 1e9) + 1'000'000'000ULL,
            0,           static_cast<std::uint8_t>(frame.fingers.size()),
            frame.flags, frame.clickCount};
        (*interpreter)->handle(header, frame.fingers);
    }
    const auto at = events->pointerLocation().value_or(Point{x, y});
    interpreter->reset();
    events->setOnPost({});
    std::filesystem::remove_all(folder);
    return {at.x, at.y};
}

// ---- the tests, in the order of the road ----

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

TEST(PhoneEndToEndTest, PlayingTheCursorDemoMovesThePointerUpAndRight) {
    RAVNIX_START_ROAD(road);
    ASSERT_EQ(road.pair().status, 0);
    XObserver x(xvfb["DISPLAY"]);
    ASSERT_NE(x.display, nullptr);
    x.warp(400, 600);
    const auto [predictedX, predictedY] = predictedPointer("imlec", 400, 600);
    const auto run = road.phone({"play", "imlec"});
    ASSERT_EQ(run.status, 0) << run.text;
    const auto [endX, endY] = x.pointer();
    const double dx = endX - 400.0;
    const double dy = endY - 600.0;
    const double expectedX = predictedX - 400;
    const double expectedY = predictedY - 600;
    EXPECT_GT(dx, 0);
    EXPECT_LT(dy, 0);
    // The curve smooths speed over frames; arrival jitter on a busy machine changes little,
    // so the X server's travel stays within 10 % (at least 8 px) of the prediction.
    EXPECT_NEAR(dx, expectedX, std::max(8.0, 0.1 * std::abs(expectedX)))
        << "predicted " << expectedX << ", " << expectedY;
    EXPECT_NEAR(dy, expectedY, std::max(8.0, 0.1 * std::abs(expectedY)))
        << "predicted " << expectedX << ", " << expectedY;
}

// The click log's button lines, "solBas state=1" and so on, after the last delayed release.
std::vector<std::string> buttonLines(const Road& road) {
    std::this_thread::sleep_for(100ms); // the release comes 55 ms after its click
    std::vector<std::string> buttons;
    std::istringstream log(road.clickLog());
    for (std::string line; std::getline(log, line);) {
        const auto space = line.find(" state=");
        if (space != std::string::npos) {
            buttons.push_back(line.substr(0, line.find(' ', space + 1)));
        }
    }
    return buttons;
}

TEST(PhoneEndToEndTest, ATwoFingerTapIsARightClick) {
    RAVNIX_START_ROAD(road);
    ASSERT_EQ(road.pair().status, 0);
    const auto run = road.phone({"play", "sag-tik"});
    ASSERT_EQ(run.status, 0) << run.text;
    EXPECT_EQ(buttonLines(road), (std::vector<std::string>{"sagBas state=1", "sagBirak state=1"}))
        << road.clickLog();
}

TEST(PhoneEndToEndTest, TapsClickOnceAndTwice) {
    RAVNIX_START_ROAD(road);
    ASSERT_EQ(road.pair().status, 0);
    for (const char* demo : {"sol-tik", "cift-tik"}) {
        const auto run = road.phone({"play", demo});
        ASSERT_EQ(run.status, 0) << demo << ": " << run.text;
    }
    EXPECT_EQ(buttonLines(road),
              (std::vector<std::string>{"solBas state=1", "solBirak state=1", "solBas state=1",
                                        "solBirak state=1", "solBas state=2", "solBirak state=2"}))
        << road.clickLog();
}

// Button presses the desktop posted into a window of the test, during `demo`.
std::vector<XEvent> eventsDuring(Road& road, const TestService& xvfb, const char* demo) {
    XObserver x(xvfb["DISPLAY"]);
    EXPECT_NE(x.display, nullptr);
    if (x.display == nullptr) {
        return {};
    }
    x.listen();
    x.warp(700, 450);
    (void)x.events();
    const auto run = road.phone({"play", demo});
    EXPECT_EQ(run.status, 0) << run.text;
    std::this_thread::sleep_for(100ms);
    return x.events();
}

TEST(PhoneEndToEndTest, TwoFingersScrollWithWheelButtons) {
    RAVNIX_START_ROAD(road);
    ASSERT_EQ(road.pair().status, 0);
    int wheel = 0;
    int controlled = 0;
    for (const XEvent& event : eventsDuring(road, xvfb, "kaydirma")) {
        if (event.type == ButtonPress && (event.xbutton.button == 4 || event.xbutton.button == 5)) {
            ++wheel;
            controlled += (event.xbutton.state & ControlMask) != 0 ? 1 : 0;
        }
        EXPECT_FALSE(event.type == ButtonPress && event.xbutton.button == 1);
    }
    EXPECT_GT(wheel, 3);
    EXPECT_EQ(controlled, 0);
}

TEST(PhoneEndToEndTest, APinchZoomsWithControlAndTheWheel) {
    RAVNIX_START_ROAD(road);
    ASSERT_EQ(road.pair().status, 0);
    int up = 0;
    int down = 0;
    int plain = 0;
    for (const XEvent& event : eventsDuring(road, xvfb, "yakinlastir")) {
        if (event.type != ButtonPress || event.xbutton.button < 4 || event.xbutton.button > 5) {
            continue;
        }
        if ((event.xbutton.state & ControlMask) == 0) {
            ++plain;
        } else {
            (event.xbutton.button == 4 ? up : down) += 1;
        }
    }
    // Spreading the fingers and closing them again: both wheel directions, all with Control.
    EXPECT_GT(up, 0);
    EXPECT_GT(down, 0);
    EXPECT_EQ(plain, 0);
}

TEST(PhoneEndToEndTest, ThreeFingersDragWithTheButtonHeld) {
    RAVNIX_START_ROAD(road);
    ASSERT_EQ(road.pair().status, 0);
    int pressAt = -1;
    int releaseAt = -1;
    int draggedMotions = 0;
    const auto events = eventsDuring(road, xvfb, "uc-parmak-surukleme");
    for (std::size_t i = 0; i < events.size(); ++i) {
        const XEvent& event = events[i];
        if (event.type == ButtonPress && event.xbutton.button == 1 && pressAt < 0) {
            pressAt = static_cast<int>(i);
        } else if (event.type == ButtonRelease && event.xbutton.button == 1) {
            releaseAt = static_cast<int>(i);
        } else if (event.type == MotionNotify && (event.xmotion.state & Button1Mask) != 0) {
            ++draggedMotions;
        }
    }
    ASSERT_GE(pressAt, 0);
    EXPECT_GT(releaseAt, pressAt);
    EXPECT_GT(draggedMotions, 10);
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
    const auto [endX, endY] = x.pointer();
    EXPECT_GT(endX, 400);
    EXPECT_LT(endY, 600);
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
