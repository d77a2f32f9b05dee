// The cost of a motion post through the portal backend on the caller's (the injector's)
// thread, against a synchronous round trip to the same portal frontend in the same run: post()
// only queues, so it must not cost anything like a reply. Runs against the real
// xdg-desktop-portal frontend and our test backend on a private bus (tests/support/portal.sh,
// started and stopped here); the backend's log confirms that every step arrived.

#include "platform/events/portal/PortalEventSystem.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gio/gio.h>
#include <map>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using namespace ravnix;
using Clock = std::chrono::steady_clock;

constexpr int kWarmUp = 200;
constexpr int kPosts = 5000;
constexpr int kRoundTrips = 500;
constexpr auto kSpacing = std::chrono::microseconds(250); // faster than any phone sends
constexpr const char* kLabel = "motion step (location + post) through the portal backend, "
                               "caller's thread (median / p99, 5,000)";

bool runScript(const std::string& action, const std::string& folder) {
    const std::string script = std::string(RAVNIX_SOURCE_DIR) + "/tests/support/portal.sh";
    char* argv[] = {const_cast<char*>(script.c_str()), const_cast<char*>(action.c_str()),
                    const_cast<char*>(folder.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const bool spawned = ::posix_spawn(&pid, script.c_str(), &actions, nullptr, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return spawned && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

std::map<std::string, std::string> readEnv(const std::filesystem::path& file) {
    std::map<std::string, std::string> values;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (const auto eq = line.find('='); eq != std::string::npos) {
            values[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return values;
}

double percentileMicros(std::vector<double> samples, double fraction) {
    std::sort(samples.begin(), samples.end());
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1));
    return samples[index] / 1000.0;
}

// The sum of the motion steps the test backend has logged.
std::pair<double, double> loggedMotion(GDBusConnection* bus) {
    double x = 0, y = 0;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.impl.portal.RavnixTest", "/org/ravnix/PortalTest",
        "org.ravnix.PortalTest", "Events", nullptr, G_VARIANT_TYPE("(as)"),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr, nullptr);
    if (reply == nullptr) {
        return {x, y};
    }
    GVariantIter* lines = nullptr;
    g_variant_get(reply, "(as)", &lines);
    const gchar* line = nullptr;
    while (g_variant_iter_next(lines, "&s", &line)) {
        if (std::string_view(line).starts_with("motion ")) {
            char* rest = nullptr;
            x += std::strtod(line + 7, &rest);
            y += std::strtod(rest, nullptr);
        }
    }
    g_variant_iter_free(lines);
    g_variant_unref(reply);
    return {x, y};
}

int measure(const std::map<std::string, std::string>& env) {
    const std::string address = env.at("PORTAL_BUS");
    std::mutex trustLock;
    std::condition_variable trustChanged;
    bool trusted = false;
    PortalOptions options;
    options.busAddress = address;
    options.onTrustChanged = [&](bool value, const std::string&) {
        {
            std::lock_guard lock(trustLock);
            trusted = value;
        }
        trustChanged.notify_all();
    };
    auto events = PortalEventSystem::create(std::move(options));
    {
        std::unique_lock lock(trustLock);
        if (!trustChanged.wait_for(lock, std::chrono::seconds(20), [&] { return trusted; })) {
            std::printf("| %s | skipped: no portal session (%s) | | |\n", kLabel,
                        events->status().reason.c_str());
            return 0;
        }
    }
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (bus == nullptr) {
        std::printf("| %s | skipped: no second connection to the bus | | |\n", kLabel);
        return 0;
    }
    g_dbus_connection_call_sync(bus, "org.freedesktop.impl.portal.RavnixTest",
                                "/org/ravnix/PortalTest", "org.ravnix.PortalTest", "Reset", nullptr,
                                nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr, nullptr);

    const Point start = *events->pointerLocation();
    std::vector<double> posts;
    posts.reserve(kPosts);
    auto next = Clock::now();
    for (int i = 0; i < kWarmUp + kPosts; ++i) {
        std::this_thread::sleep_until(next);
        next += kSpacing;
        const auto begin = Clock::now();
        const Point origin = *events->pointerLocation();
        events->post(*events->mouseEvent(std::nullopt, MouseEventType::mouseMoved,
                                         {origin.x + 0.3, origin.y + 0.1}, MouseButton::left));
        const auto took = Clock::now() - begin;
        if (i >= kWarmUp) {
            posts.push_back(static_cast<double>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(took).count()));
        }
    }
    const Point end = *events->pointerLocation();

    // The peer: a synchronous call to the same frontend, answered there.
    std::vector<double> roundTrips;
    for (int i = 0; i < kRoundTrips; ++i) {
        const auto begin = Clock::now();
        GVariant* reply = g_dbus_connection_call_sync(
            bus, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
            "org.freedesktop.DBus.Properties", "Get",
            g_variant_new("(ss)", "org.freedesktop.portal.RemoteDesktop", "version"), nullptr,
            G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr, nullptr);
        const auto took = Clock::now() - begin;
        if (reply != nullptr) {
            g_variant_unref(reply);
            roundTrips.push_back(static_cast<double>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(took).count()));
        }
    }

    // Every step arrived: the backend's sum matches where our position went.
    const double wantX = end.x - start.x;
    const double wantY = end.y - start.y;
    std::pair<double, double> got{};
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
        got = loggedMotion(bus);
        if (std::abs(got.first - wantX) < 1e-6 && std::abs(got.second - wantY) < 1e-6) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    g_object_unref(bus);
    const bool arrived = std::abs(got.first - wantX) < 1e-6 && std::abs(got.second - wantY) < 1e-6;
    const double p99 = percentileMicros(posts, 0.99);
    std::printf("| %s | %.1f µs / %.1f µs%s | synchronous round trip to the frontend: %.0f µs / "
                "%.0f µs | p99 %s 100 µs |\n",
                kLabel, percentileMicros(posts, 0.5), p99,
                arrived ? ", every step arrived" : ", STEPS MISSING at the backend",
                roundTrips.empty() ? 0.0 : percentileMicros(roundTrips, 0.5),
                roundTrips.empty() ? 0.0 : percentileMicros(roundTrips, 0.99),
                p99 <= 100 ? "≤" : "> (MISSED)");
    return 0;
}

} // namespace

int main() {
    char pattern[] = "/tmp/ravnix-bench-portal.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::printf("| %s | skipped: no temporary folder | | |\n", kLabel);
        return 0;
    }
    const std::string folder = pattern;
    if (!runScript("start", folder)) {
        std::printf("| %s | skipped: tests/support/portal.sh did not run | | |\n", kLabel);
        return 0;
    }
    const auto env = readEnv(std::filesystem::path(folder) / "portal.env");
    int result = 0;
    if (const auto skip = env.find("SKIP"); skip != env.end()) {
        std::printf("| %s | skipped: %s | | |\n", kLabel, skip->second.c_str());
    } else {
        result = measure(env);
    }
    runScript("stop", folder);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return result;
}
