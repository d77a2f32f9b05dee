// The programs on headless mutter behind the real portal frontend (tests/support/mutter.sh),
// read back by our Wayland probe client: the tray application starts through Qt's Wayland
// platform; the terminal program, driven by a paired phone, drags, clicks, scrolls and types.

#include "RoadSupport.hpp"
#include "unit/platform/events/portal/PortalTestSupport.hpp"

#include <cmath>
#include <csignal>
#include <fstream>
#include <sstream>

namespace ravnix::test {
namespace {

using namespace std::chrono_literals;

const char* const kBackendName = "org.freedesktop.impl.portal.RavnixTest";

bool waitForLog(const std::filesystem::path& file, std::string_view text,
                std::chrono::milliseconds limit = 20s) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (readFile(file).find(text) != std::string::npos) {
            return true;
        }
        ::poll(nullptr, 0, 20);
    }
    return false;
}

TEST(WaylandDesktop, TheTrayApplicationPicksThePortalOpensItsWindowsAndEndsOnSigterm) {
    RAVNIX_REQUIRE_SERVICE(mutter, "mutter");
    PortalServiceControl backend(mutter["MUTTER_BUS"], kBackendName);
    ASSERT_TRUE(backend.isConnected()) << backend.connectError;
    ASSERT_TRUE(backend.reset());
    // The desktop's dialog is never answered, so the permission stays missing and onboarding
    // opens at launch.
    ASSERT_TRUE(backend.setAnswer("Start", "silent"));

    char pattern[] = "/tmp/ravnix-wayland-tray-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path folder = pattern;
    const auto environment = privateEnvironment(
        folder, {"XDG_RUNTIME_DIR=" + mutter["XDG_RUNTIME_DIR"],
                 "WAYLAND_DISPLAY=" + mutter["WAYLAND_DISPLAY"], "XDG_SESSION_TYPE=wayland",
                 "QT_QPA_PLATFORM=wayland", "DBUS_SESSION_BUS_ADDRESS=" + mutter["MUTTER_BUS"]});
    const auto log = folder / "state" / "ravnix" / "pencere.log";
    RavnixProcess tray;
    ASSERT_TRUE(tray.start({"--port", std::to_string(freeUdpPort()), "--secret-store=file"},
                           environment, folder / "stderr.txt"));
    EXPECT_TRUE(waitForLog(log, "olaylar: portal · Wayland oturumu")) << readFile(log);
    EXPECT_TRUE(waitForLog(log, "platform=wayland")) << readFile(log);
    EXPECT_TRUE(waitForLog(log, "portal: ekranlar kaynak=Qt ekranlari sayi=1 1280x720"))
        << readFile(log);
    EXPECT_TRUE(waitForLog(log, "sonuc: kurulum gorunur=true")) << readFile(log);
    // No tray on this compositor: the panel is an ordinary window.
    EXPECT_TRUE(waitForLog(log, "sonuc: panel gorunur=true")) << readFile(log);
    // The permission page that the panel opens explains the desktop's own question, and that
    // Debian's portal (version 1) asks again in every session.
    const std::string help = readFile(folder / "state" / "ravnix" / "izin-yardimi.html");
    EXPECT_NE(help.find("uzaktan denetlemesine izin verip vermediğinizi sorar"), std::string::npos)
        << help;
    EXPECT_NE(help.find("(sürüm 1) izni yalnızca bu oturum için verir"), std::string::npos) << help;

    tray.signal(SIGTERM);
    const auto status = tray.waitForExit();
    ASSERT_TRUE(status) << "still running 10 s after SIGTERM";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
        << *status << readFile(folder / "stderr.txt");
    EXPECT_TRUE(waitForLog(log, "kapandi", 1s)) << readFile(log);
    EXPECT_TRUE(backend.reset());
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

// ---- the terminal program driven by a phone ----

struct ProbePoint {
    double x = 0;
    double y = 0;
};

// The probe's last pointer position in its output, if it has one.
std::optional<ProbePoint> lastPosition(const std::string& text) {
    std::optional<ProbePoint> last;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string word;
        ProbePoint point;
        if (fields >> word >> point.x >> point.y && (word == "motion" || word == "enter")) {
            last = point;
        }
    }
    return last;
}

// The sum of the injector's steps in the motion recording (move_x, move_y).
std::optional<ProbePoint> recordedSum(const std::filesystem::path& csv) {
    std::ifstream in(csv);
    std::string line;
    if (!std::getline(in, line)) {
        return std::nullopt;
    }
    ProbePoint sum;
    while (std::getline(in, line)) {
        std::vector<std::string> cells;
        std::istringstream row(line);
        for (std::string cell; std::getline(row, cell, ',');) {
            cells.push_back(cell);
        }
        if (cells.size() >= 12) {
            sum.x += std::stod(cells[10]);
            sum.y += std::stod(cells[11]);
        }
    }
    return sum;
}

class WaylandRoad : public ::testing::Test {
  protected:
    // Plays `demo` on a fresh recording; the sum of the injector's steps.
    std::optional<ProbePoint> playRecorded(Road& road, const std::string& demo) {
        // Switched on afresh (off first, when it is on), the recording starts empty.
        std::size_t before = road.desktop.printedSize();
        if (isRecording) {
            road.desktop.write("kayit\n");
            EXPECT_TRUE(road.desktop.waitFor("Hareket kaydı: kapalı", 3s, before));
            before = road.desktop.printedSize();
        }
        road.desktop.write("kayit\n");
        EXPECT_TRUE(road.desktop.waitFor("Hareket kaydı: açık", 3s, before));
        const auto run = road.phone({"play", demo});
        EXPECT_EQ(run.status, 0) << run.text;
        // Off: the recording is written.
        before = road.desktop.printedSize();
        road.desktop.write("kayit\n");
        EXPECT_TRUE(road.desktop.waitFor("Hareket kaydı: kapalı", 3s, before));
        isRecording = false;
        return recordedSum(road.desktopLogs() / "hareket.csv");
    }

    bool isRecording = true; // the desktop records from its start

    // Waits until the probe's pointer has travelled `sum` from `from` (within 2 % of the
    // stroke's length), or the limit; where it got to.
    static ProbePoint travelled(Child& probe, ProbePoint from, ProbePoint sum) {
        const double length = std::hypot(sum.x, sum.y);
        ProbePoint reached = from;
        const auto deadline = Clock::now() + 5s;
        while (Clock::now() < deadline) {
            if (const auto at = lastPosition(probe.stdoutText())) {
                reached = *at;
            }
            if (std::hypot(reached.x - from.x - sum.x, reached.y - from.y - sum.y) <=
                0.02 * length) {
                break;
            }
            probe.waitFor("\n", 50ms, probe.printedSize()); // more output, or 50 ms
        }
        return reached;
    }
};

TEST_F(WaylandRoad, APairedPhoneMovesClicksScrollsAndTypesIntoAWaylandWindow) {
    RAVNIX_REQUIRE_SERVICE(mutter, "mutter");
    RAVNIX_REQUIRE_SERVICE(avahi, "avahi");
    PortalServiceControl backend(mutter["MUTTER_BUS"], kBackendName);
    ASSERT_TRUE(backend.isConnected()) << backend.connectError;
    ASSERT_TRUE(backend.reset());

    // The probe's window first: mutter animates a new window for about 250 ms, and the
    // pairing below takes seconds.
    Child probe;
    ASSERT_TRUE(probe.start(RAVNIX_WAYLAND_PROBE, {},
                            {"XDG_RUNTIME_DIR=" + mutter["XDG_RUNTIME_DIR"],
                             "WAYLAND_DISPLAY=" + mutter["WAYLAND_DISPLAY"]},
                            "/dev/null"));
    ASSERT_TRUE(probe.waitFor("ready ", 10s)) << probe.stdoutText();

    Road road;
    ASSERT_TRUE(
        road.setUp(avahi, {"DBUS_SESSION_BUS_ADDRESS=" + mutter["MUTTER_BUS"]}, "--events=portal"))
        << road.desktop.text();
    ASSERT_TRUE(road.desktop.waitFor("durum: Hazır", 20s)) << road.desktop.text();
    ASSERT_EQ(road.pair().status, 0) << road.desktop.text();

    // Three fingers drag down and to the right with the left button held: the pointer travels
    // the injector's steps, and the press and the release reach the window.
    const auto dragged = playRecorded(road, "uc-parmak-surukleme");
    ASSERT_TRUE(dragged);
    ASSERT_GT(dragged->x, 20);
    ASSERT_GT(dragged->y, 20);
    const auto entered = probe.waitFor(std::regex("\\nenter ([-0-9.]+ [-0-9.]+)\\n"), 5s);
    ASSERT_TRUE(entered) << probe.stdoutText();
    ProbePoint start;
    std::istringstream(*entered) >> start.x >> start.y;
    const ProbePoint end = travelled(probe, start, *dragged);
    const double dragLength = std::hypot(dragged->x, dragged->y);
    EXPECT_NEAR(end.x - start.x, dragged->x, 0.02 * dragLength) << probe.stdoutText();
    EXPECT_NEAR(end.y - start.y, dragged->y, 0.02 * dragLength);
    EXPECT_TRUE(probe.waitFor("button 272 1\n", 2s));
    EXPECT_TRUE(probe.waitFor("button 272 0\n", 2s));

    // A tap clicks.
    std::size_t before = probe.printedSize();
    ASSERT_EQ(road.phone({"play", "sol-tik"}).status, 0);
    EXPECT_TRUE(probe.waitFor("button 272 1\n", 3s, before)) << probe.stdoutText().substr(before);
    EXPECT_TRUE(probe.waitFor("button 272 0\n", 3s, before));

    // Two fingers scroll smoothly, and the scroll's end reaches mutter (mutter 43 passes it to
    // clients only as a frame without a value).
    before = probe.printedSize();
    ASSERT_EQ(road.phone({"play", "kaydirma"}).status, 0);
    EXPECT_TRUE(probe.waitFor(std::regex("\\naxis 0 [-0-9.]+\\n"), 3s, before))
        << probe.stdoutText().substr(before);
    const auto forwarded = backend.waitForEvents([](const std::vector<std::string>& lines) {
        return std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
            return line.rfind("axis ", 0) == 0 && line.find("finish=1") != std::string::npos;
        });
    });
    EXPECT_TRUE(std::none_of(forwarded.begin(), forwarded.end(), [](const std::string& line) {
        return line.rfind("mutter-error", 0) == 0;
    }));

    // Keys: the show-desktop gesture is Super+D. The compositor makes its keyboard with the
    // first key, so the first gesture brings the keyboard and the second one's keys arrive.
    ASSERT_EQ(road.phone({"play", "masaustu"}).status, 0);
    ASSERT_TRUE(probe.waitFor("kbenter\n", 5s)) << probe.stdoutText();
    before = probe.printedSize();
    ASSERT_EQ(road.phone({"play", "masaustu"}).status, 0);
    EXPECT_TRUE(probe.waitFor("key 32 1\n", 3s, before)) << probe.stdoutText().substr(before);
    EXPECT_TRUE(probe.waitFor("key 32 0\n", 3s, before));
    EXPECT_TRUE(backend.reset());
}

} // namespace
} // namespace ravnix::test
