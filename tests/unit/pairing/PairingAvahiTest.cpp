// Pairing over the paths a real network takes: found through the DNS-SD daemon on the loopback
// interface, again after that daemon restarts or starts late, and carried over IPv6. The restart
// tests stop the fixture's own daemon, so this executable runs alone (RUN_SERIAL).

#include "platform/network/AvahiDnsSd.hpp"
#include "support/FakeDnsSd.hpp"
#include "support/TestService.hpp"
#include "unit/pairing/PairingTestSupport.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

// ThreadSanitizer: libdbus takes two of its own locks in one order when avahi-client connects
// and in the other when it disconnects; not ours to judge. Used only by sanitizer builds.
extern "C" const char* __tsan_default_suppressions() {
    return "deadlock:libdbus-1.so\n";
}

namespace ravnix::test {
namespace {

using Macs = std::vector<PairingBrowser::DiscoveredMac>;

// A listener on the desktop's DNS-SD and a browser on the phone's, with what each reported.
// Names carry the process id: runs that share a daemon do not see each other's services.
struct Pairing {
    Pairing(const std::shared_ptr<DnsSd>& desktop, const std::shared_ptr<DnsSd>& phone,
            const std::string& suffix)
        : name("ravnix-pair-test-" + std::to_string(::getpid()) + suffix) {
        PairingListener::Options options;
        options.macIdentifier = "MAC-" + name;
        options.macName = name;
        // Not the loopback address: the browser's hosts must name it from the connection.
        options.addresses = {"192.0.2.10"};
        options.dnsSd = desktop;
        listener = PairingListener::make(options).value();
        listener->setOnRequest([requests = requests](const auto& r) { requests->add(r); });
        listener->setOnError([errors = errors](const std::string& e) { errors->add(e); });
        const auto started = listener->start();
        EXPECT_TRUE(started) << started.error().text();

        browser = PairingBrowser::make(phone).value();
        browser->setOnDiscovery([macs = macs](const auto& list) { macs->add(list); });
        browser->setOnStep([steps = steps](const Step& step) { steps->add(step); });
        browser->start();
    }

    std::optional<PairingBrowser::DiscoveredMac> named(const Macs& list) const {
        const auto it = std::ranges::find(list, name, &PairingBrowser::DiscoveredMac::name);
        return it == list.end() ? std::nullopt : std::optional(*it);
    }
    // Until the latest list the phone saw holds the listener (or no longer does).
    bool waitListed(bool isListed, std::chrono::milliseconds limit) {
        return macs->waitUntil(
            [&](const auto& all) {
                return isListed ? !all.empty() && named(all.back())
                                : all.empty() || !named(all.back());
            },
            limit);
    }

    // Pairs with the listener the phone lists, and checks both ends show one code.
    void showCodes() {
        const auto mac = named(macs->snapshot().empty() ? Macs{} : macs->snapshot().back());
        ASSERT_TRUE(mac) << name << " is not listed";
        EXPECT_EQ(mac->id, "MAC-" + name);
        const auto before = requests->snapshot().size();
        browser->pair(*mac, {"phone-avahi", "Deniz'in telefonu", "iPhone15,2"});
        ASSERT_TRUE(requests->waitForCount(before + 1, 20s));
        EXPECT_EQ(requests->snapshot()[before].hello.displayName, "Deniz'in telefonu");
        EXPECT_EQ(requests->snapshot()[before].hello.model, "iPhone15,2");
        ASSERT_TRUE(waitForStep<Step::Code>(*steps, 0, 20s));
        EXPECT_EQ(stepAs<Step::Code>(steps->snapshot())->code, requests->snapshot()[before].code);
        browser->confirm(true);
        ASSERT_TRUE(requests->waitUntil(
            [](const auto& all) { return !all.empty() && all.back().phoneAccepted; }, 20s));
    }

    // Accepts on the desktop and returns what the phone stored.
    std::optional<Step::Accepted> accept() {
        listener->respond(true, 7);
        if (!waitForStep<Step::Accepted>(*steps, 0, 20s)) {
            return std::nullopt;
        }
        const auto accepted = *stepAs<Step::Accepted>(steps->snapshot());
        const auto request = requests->snapshot().back(); // the key's bytes live in it
        const auto material = request.outcome.key.material();
        EXPECT_EQ(accepted.key, std::vector<std::uint8_t>(material.begin(), material.end()));
        EXPECT_EQ(accepted.pairingID, 7u);
        EXPECT_EQ(accepted.macName, name);
        return accepted;
    }

    std::string name;
    std::shared_ptr<Events<PairingListener::Request>> requests =
        std::make_shared<Events<PairingListener::Request>>();
    std::shared_ptr<Events<std::string>> errors = std::make_shared<Events<std::string>>();
    std::shared_ptr<Events<Macs>> macs = std::make_shared<Events<Macs>>();
    std::shared_ptr<Events<Step>> steps = std::make_shared<Events<Step>>();
    std::shared_ptr<PairingListener> listener;
    std::shared_ptr<PairingBrowser> browser;
};

std::shared_ptr<DnsSd> avahiDnsSd(const TestService& avahi) {
    // libdbus reads the bus address when the client connects.
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", avahi["DBUS_SYSTEM_BUS_ADDRESS"].c_str(), 1);
    auto created = AvahiDnsSd::create();
    EXPECT_TRUE(created) << "the avahi service's bus cannot be reached: " << created.error().text();
    return created ? *created : nullptr;
}

// The listener's TCP socket takes both families: a phone that resolved the desktop's IPv6
// address pairs over it.
TEST(PairingOverIPv6, ExchangeRunsOverTheIPv6Loopback) {
    if (const auto missing = unbindable("::1")) {
        GTEST_SKIP() << *missing;
    }
    const auto dnsSd = FakeDnsSd::create("::1");
    Pairing pair(dnsSd, dnsSd, "-v6");
    ASSERT_TRUE(pair.waitListed(true, 5s));
    pair.showCodes();
    const auto accepted = pair.accept();
    ASSERT_TRUE(accepted);
    // The phone names the desktop first by the address its connection reached.
    EXPECT_EQ(accepted->hosts, (std::vector<std::string>{"::1", "192.0.2.10"}));
}

// The fixture's own avahi-daemon, stopped and started through its control script as a
// package upgrade would; started again when a test leaves it stopped.
class Daemon {
  public:
    // Why the daemon in use may not be restarted by a test, if it may not.
    static std::optional<std::string> refusal(const TestService& avahi) {
        if (avahi["OWNED"] != "1" || avahi["CONTROL"].empty()) {
            return std::string("the avahi-daemon in use ran before the tests (not started by "
                               "tests/support/avahi.sh), so it is not ours to restart");
        }
        return std::nullopt;
    }

    explicit Daemon(const TestService& avahi) : script_(avahi["CONTROL"]) {}
    ~Daemon() {
        if (isStopped_) {
            start();
        }
    }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    bool stop() {
        isStopped_ = run("stop-daemon") == 0;
        return isStopped_;
    }
    // Returns once the daemon runs (its server state is "running"). False when it could not
    // start, with displaced() set when another test run's daemon took its place meanwhile.
    bool start() {
        const int status = run("start-daemon");
        isStopped_ = status != 0 && status != displacedStatus;
        return status == 0;
    }
    const std::optional<std::string>& displaced() const { return displaced_; }

  private:
    static constexpr int displacedStatus = 3;

    // The script's exit status; its output is a failure unless it succeeded or was displaced.
    int run(const std::string& action) {
        const auto command =
            "'" + script_ + "' " + action + " '" + RAVNIX_TEST_SERVICE_DIR + "' 2>&1";
        FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) {
            ADD_FAILURE() << "cannot run " << command;
            return -1;
        }
        std::string output;
        std::array<char, 256> chunk{};
        while (std::fgets(chunk.data(), chunk.size(), pipe) != nullptr) {
            output += chunk.data();
        }
        const int result = ::pclose(pipe);
        const int status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
        if (status == displacedStatus) {
            displaced_ = output;
        } else {
            EXPECT_EQ(status, 0) << action << ": " << output;
        }
        return status;
    }

    std::string script_;
    bool isStopped_ = false;
    std::optional<std::string> displaced_;
};

// What a DNS-SD client reported about its daemon: true for available.
struct Availability {
    explicit Availability(DnsSd& dnsSd) {
        watch = dnsSd
                    .watchAvailability(*queue,
                                       [seen = seen](const DnsSd::Availability& availability) {
                                           seen->add(availability.isAvailable);
                                       })
                    .value();
    }
    bool waitFor(bool isAvailable) {
        return seen->waitUntil(
            [&](const auto& all) { return !all.empty() && all.back() == isAvailable; }, 10s);
    }

    std::unique_ptr<DispatchQueue> queue = makeQueue("com.belvor.ravnix.availability");
    std::shared_ptr<Events<bool>> seen = std::make_shared<Events<bool>>();
    DnsSd::OperationHandle watch;
};

// The fixture's daemon stopped under a running listener, or before the listener started, then
// started again: within 5 s of that start the phone lists the listener, and pairing works.
void pairAcrossADaemonStart(bool daemonRunsAtFirst) {
    RAVNIX_REQUIRE_SERVICE(avahi, "avahi");
    if (const auto refusal = Daemon::refusal(avahi)) {
        GTEST_SKIP() << *refusal;
    }
    Daemon daemon(avahi);
    ASSERT_TRUE(daemonRunsAtFirst || daemon.stop());
    const auto desktop = avahiDnsSd(avahi);
    const auto phone = avahiDnsSd(avahi); // a client of its own, as on another device
    ASSERT_TRUE(desktop && phone);
    Availability availability(*desktop);
    ASSERT_TRUE(availability.waitFor(daemonRunsAtFirst));
    Pairing pair(desktop, phone, daemonRunsAtFirst ? "-restart" : "-early");
    if (daemonRunsAtFirst) {
        ASSERT_TRUE(pair.waitListed(true, 20s)) << pair.name << " was not found";
        ASSERT_TRUE(daemon.stop());
        ASSERT_TRUE(availability.waitFor(false)) << "the daemon's leaving was not reported";
        ASSERT_TRUE(pair.waitListed(false, 10s)) << "the phone still lists an unreachable listener";
    }
    if (!daemon.start()) {
        ASSERT_TRUE(daemon.displaced());
        GTEST_SKIP() << *daemon.displaced();
    }
    ASSERT_TRUE(pair.waitListed(true, 5s)) << "not advertised within 5 s of the daemon's start";
    pair.showCodes();
    const auto accepted = pair.accept();
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->hosts, (std::vector<std::string>{"127.0.0.1", "192.0.2.10"}));
    EXPECT_EQ(availability.seen->snapshot(), daemonRunsAtFirst
                                                 ? (std::vector<bool>{true, false, true})
                                                 : (std::vector<bool>{false, true}));
    EXPECT_TRUE(pair.errors->snapshot().empty()) << pair.errors->snapshot().front();
}

TEST(PairingAvahiRestart, ListenerIsFoundAgainWithinFiveSecondsOfADaemonRestart) {
    pairAcrossADaemonStart(true);
}

TEST(PairingAvahiRestart, ListenerStartedBeforeTheDaemonIsAdvertisedOnceItStarts) {
    pairAcrossADaemonStart(false);
}

} // namespace
} // namespace ravnix::test
