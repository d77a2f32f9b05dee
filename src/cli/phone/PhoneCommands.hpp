#pragma once
// The subcommands of ravnix-phone, one file each, and what they share: the services, the
// browser's reports, the stored pairing and the link to it. Each subcommand returns the
// program's exit status; every wait is bounded, and every failure is one line on stderr.

#include "cli/phone/PhoneLink.hpp"
#include "cli/phone/PhoneOptions.hpp"
#include "cli/phone/PhonePairings.hpp"
#include "pairing/PairingBrowser.hpp"
#include "platform/Paths.hpp"
#include "platform/network/DnsSd.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ravnix::phone {

using SteadyClock = std::chrono::steady_clock;

struct Context {
    PhoneOptions options;
    Paths paths;
    std::unique_ptr<PhonePairings> pairings;
    const std::atomic<bool>& interrupted; // SIGINT or SIGTERM came
};

int browse(Context& context);
int pair(Context& context);
int ping(Context& context);
int play(Context& context);
int status(Context& context);

// "ravnix-phone: TEXT" on stderr; returns the failure status.
int fail(const std::string& text);
// One line on stdout, flushed.
void say(const std::string& text);

// Avahi when it answers; otherwise a stand-in that fails every call, and the reason in
// `problem`.
std::shared_ptr<DnsSd> chooseDnsSd(std::string& problem);

// Everything a browser reports, waited on by the main thread.
struct BrowserEvents {
    explicit BrowserEvents(const std::atomic<bool>& interrupted) : interrupted(interrupted) {}

    void attach(PairingBrowser& browser);

    // Waits until `predicate` holds (checked under eventsLock) or the deadline passes or an
    // interruption comes; whether it holds.
    template <typename Predicate>
    bool waitUntil(SteadyClock::time_point deadline, Predicate predicate) {
        using namespace std::chrono_literals;
        // Short slices, so that an interruption is noticed.
        std::unique_lock lock(eventsLock);
        while (!predicate()) {
            if (interrupted.load() || SteadyClock::now() >= deadline) {
                return false;
            }
            changed.wait_until(lock, std::min(deadline, SteadyClock::now() + 100ms));
        }
        return true;
    }

    std::optional<PairingBrowser::PairingStep> takeStep();

    const std::atomic<bool>& interrupted;
    std::mutex eventsLock; // guards macs, listsSeen and steps
    std::condition_variable changed;
    std::vector<PairingBrowser::DiscoveredMac> macs;
    std::uint64_t listsSeen = 0;
    std::deque<PairingBrowser::PairingStep> steps;
};

std::expected<std::shared_ptr<PairingBrowser>, std::string>
startBrowser(const std::shared_ptr<DnsSd>& dnsSd, BrowserEvents& events);

// The desktop listed under `name`, as its service name or its ID.
std::optional<PairingBrowser::DiscoveredMac>
findMac(const std::vector<PairingBrowser::DiscoveredMac>& macs, std::string_view name);

// The stored pairing named by --desktop (without it, the most recent one), with a usable key.
std::expected<PhonePairings::Desktop, std::string> pairedDesktop(Context& context);

// The link to `desktop` over the route chosen by --route.
std::expected<std::unique_ptr<PhoneLink>, std::string>
openLink(Context& context, const PhonePairings::Desktop& desktop);

// Keeps the desktop's refusal in the stored pairings, for status to report.
void rememberUnpaired(Context& context, const PhonePairings::Desktop& desktop,
                      const PhoneLink& link);

} // namespace ravnix::phone
