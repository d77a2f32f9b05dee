// The cost of a motion post through the portal backend on the caller's (the injector's)
// thread, against a synchronous round trip to the same portal frontend in the same run: post()
// only queues, so it must not cost anything like a reply. Runs against the real
// xdg-desktop-portal frontend and our test backend on a private bus (tests/support/portal.sh,
// started and stopped here); the backend's log confirms that every step arrived.

#include "MeasureSupport.hpp"
#include "platform/events/portal/PortalEventSystem.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <gio/gio.h>
#include <thread>

namespace {

using namespace ravnix;
using Clock = std::chrono::steady_clock;

constexpr int kWarmUp = 200;
constexpr int kPosts = 5000;
constexpr int kRoundTrips = 500;
constexpr auto kSpacing = std::chrono::microseconds(250); // faster than any phone sends
constexpr const char* kLabel = "motion step (location + post) through the portal backend, "
                               "caller's thread (median / p99, 5,000)";

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
    bench::TrustLatch trust;
    PortalOptions options;
    options.busAddress = address;
    options.onTrustChanged = trust.callback();
    auto events = PortalEventSystem::create(std::move(options));
    if (!trust.wait(std::chrono::seconds(20))) {
        std::printf("| %s | skipped: no portal session (%s) | | |\n", kLabel,
                    events->status().reason.c_str());
        return 0;
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
            posts.push_back(std::chrono::duration<double, std::micro>(took).count());
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
            roundTrips.push_back(std::chrono::duration<double, std::micro>(took).count());
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
    const double p99 = bench::percentile(posts, 0.99);
    std::printf("| %s | %.1f µs / %.1f µs%s | synchronous round trip to the frontend: %.0f µs / "
                "%.0f µs | p99 %s 100 µs |\n",
                kLabel, bench::percentile(posts, 0.5), p99,
                arrived ? ", every step arrived" : ", STEPS MISSING at the backend",
                roundTrips.empty() ? 0.0 : bench::percentile(roundTrips, 0.5),
                roundTrips.empty() ? 0.0 : bench::percentile(roundTrips, 0.99),
                p99 <= 100 ? "≤" : "> (MISSED)");
    return 0;
}

} // namespace

int main() {
    const bench::BenchService portal("portal");
    if (!portal.skip.empty()) {
        std::printf("| %s | skipped: %s | | |\n", kLabel, portal.skip.c_str());
        return 0;
    }
    return measure(portal.env);
}
