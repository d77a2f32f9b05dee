#pragma once
// Shared by the portal backend's integration tests: the control object of the test services
// (tests/support/portal_service.py), the backend's trust changes as they come, and bounded
// waits for both.

#include "platform/events/portal/PortalEventSystem.hpp"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ravnix::test {

using namespace std::chrono_literals;

inline constexpr auto kPortalLimit = 20s;

// The backend's trust changes and log lines, recorded from the portal thread.
class PortalObserver {
  public:
    // Installs the callbacks; the observer must outlive the backend.
    void attach(PortalOptions& options) {
        options.onEvent = [this](const std::string& line) {
            std::lock_guard lock(observerLock);
            lines.push_back(line);
        };
        options.onTrustChanged = [this](bool trusted, const std::string& reason) {
            {
                std::lock_guard lock(observerLock);
                changes.emplace_back(trusted, reason);
            }
            changed.notify_all();
        };
    }

    // Waits for the next change to `trusted` (earlier unread changes to the other value are
    // passed over) and returns its reason; none at the limit.
    std::optional<std::string> waitFor(bool trusted,
                                       std::chrono::milliseconds limit = kPortalLimit) {
        std::unique_lock lock(observerLock);
        std::optional<std::string> reason;
        changed.wait_for(lock, limit, [&] {
            while (consumed < changes.size()) {
                const auto& [value, text] = changes[consumed++];
                if (value == trusted) {
                    reason = text;
                    return true;
                }
            }
            return false;
        });
        return reason;
    }

    std::string logText() const {
        std::lock_guard lock(observerLock);
        std::string text;
        for (const auto& line : lines) {
            text += line + "\n";
        }
        return text;
    }

  private:
    mutable std::mutex observerLock; // guards changes, consumed, lines
    std::condition_variable changed;
    std::vector<std::pair<bool, std::string>> changes;
    std::size_t consumed = 0;
    std::vector<std::string> lines;
};

// The control object of a test portal service on a bus.
class PortalServiceControl {
  public:
    PortalServiceControl(const std::string& address, std::string serviceName)
        : name(std::move(serviceName)) {
        GError* error = nullptr;
        bus = g_dbus_connection_new_for_address_sync(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        if (bus != nullptr) {
            g_dbus_connection_set_exit_on_close(bus, FALSE);
        } else {
            connectError = error != nullptr ? error->message : "?";
            g_clear_error(&error);
        }
    }
    ~PortalServiceControl() {
        if (bus != nullptr) {
            g_object_unref(bus);
        }
    }
    PortalServiceControl(const PortalServiceControl&) = delete;
    PortalServiceControl& operator=(const PortalServiceControl&) = delete;

    bool isConnected() const { return bus != nullptr; }
    std::string connectError; // why the connection failed

    bool setAnswer(const std::string& step, const std::string& how) {
        return call("SetAnswer", g_variant_new("(ss)", step.c_str(), how.c_str()));
    }
    bool closeSessions() { return call("CloseSessions", nullptr); }
    bool reset() { return call("Reset", nullptr); }

    std::vector<std::string> events() {
        std::vector<std::string> lines;
        GVariant* reply = g_dbus_connection_call_sync(
            bus, name.c_str(), "/org/ravnix/PortalTest", "org.ravnix.PortalTest", "Events", nullptr,
            G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr, nullptr);
        if (reply == nullptr) {
            return lines;
        }
        GVariantIter* iterator = nullptr;
        g_variant_get(reply, "(as)", &iterator);
        const gchar* line = nullptr;
        while (g_variant_iter_next(iterator, "&s", &line)) {
            lines.emplace_back(line);
        }
        g_variant_iter_free(iterator);
        g_variant_unref(reply);
        return lines;
    }

    // Waits until the events satisfy `done`, and returns the last ones read.
    std::vector<std::string>
    waitForEvents(const std::function<bool(const std::vector<std::string>&)>& done,
                  std::chrono::milliseconds limit = kPortalLimit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::vector<std::string> lines = events();
        while (!done(lines) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
            lines = events();
        }
        return lines;
    }

    // The process that owns `busName`, if any.
    std::optional<pid_t> ownerPid(const std::string& busName) {
        GVariant* reply = g_dbus_connection_call_sync(
            bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "GetConnectionUnixProcessID", g_variant_new("(s)", busName.c_str()),
            G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        if (reply == nullptr) {
            return std::nullopt;
        }
        guint32 pid = 0;
        g_variant_get(reply, "(u)", &pid);
        g_variant_unref(reply);
        return static_cast<pid_t>(pid);
    }

  private:
    bool call(const char* method, GVariant* parameters) {
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(
            bus, "org.ravnix.PortalTest", "/org/ravnix/PortalTest", "org.ravnix.PortalTest", method,
            parameters, nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr, &error);
        if (reply == nullptr) {
            ADD_FAILURE() << "control call " << method << ": "
                          << (error != nullptr ? error->message : "?");
            if (error != nullptr) {
                g_error_free(error);
            }
            return false;
        }
        g_variant_unref(reply);
        return true;
    }

    GDBusConnection* bus = nullptr;
    std::string name;
};

} // namespace ravnix::test
