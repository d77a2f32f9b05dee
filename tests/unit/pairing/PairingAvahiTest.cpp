// Pairing found and carried out through the real DNS-SD daemon on the loopback interface.

#include "pairing/PairingBrowser.hpp"
#include "pairing/PairingListener.hpp"
#include "platform/network/AvahiDnsSd.hpp"
#include "support/TestService.hpp"
#include "unit/platform/network/NetworkTestSupport.hpp"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>

// ThreadSanitizer: libdbus takes two of its own locks in one order when avahi-client connects
// and in the other when it disconnects; not ours to judge. Used only by sanitizer builds.
extern "C" const char* __tsan_default_suppressions() {
    return "deadlock:libdbus-1.so\n";
}

namespace ravnix::test {
namespace {

using Step = PairingBrowser::PairingStep;

template <class T> const T* stepAs(const std::vector<Step>& steps) {
    for (const auto& step : steps) {
        if (const auto* found = std::get_if<T>(&step.value)) {
            return found;
        }
    }
    return nullptr;
}

// A listener and a browser over the daemon, brought to the point where both show their code.
// Names carry the process id: runs that share a daemon do not see each other's services.
struct PairedThroughAvahi {
    explicit PairedThroughAvahi(const std::shared_ptr<DnsSd>& dnsSd, const std::string& suffix)
        : name("ravnix-pair-test-" + std::to_string(::getpid()) + suffix) {
        PairingListener::Options options;
        options.macIdentifier = "MAC-" + name;
        options.macName = name;
        // Not the loopback address: the browser's hosts must name it from the connection.
        options.addresses = {"192.0.2.10"};
        options.dnsSd = dnsSd;
        listener = PairingListener::make(options).value();
        listener->setOnRequest([requests = requests](const auto& r) { requests->add(r); });
        const auto started = listener->start();
        EXPECT_TRUE(started) << started.error().text();

        browser = PairingBrowser::make(dnsSd).value();
        browser->setOnDiscovery([macs = macs](const auto& list) { macs->add(list); });
        browser->setOnStep([steps = steps](const Step& step) { steps->add(step); });
        browser->start();
    }

    // Finds the listener, pairs, and checks both ends show one code.
    void showCodes() {
        const auto named = [&](const std::vector<PairingBrowser::DiscoveredMac>& list) {
            const auto it = std::ranges::find(list, name, &PairingBrowser::DiscoveredMac::name);
            return it == list.end() ? std::nullopt : std::optional(*it);
        };
        ASSERT_TRUE(macs->waitUntil(
            [&](const auto& all) { return !all.empty() && named(all.back()); }, 20s))
            << name << " was not found";
        const auto mac = *named(macs->snapshot().back());
        EXPECT_EQ(mac.id, "MAC-" + name);
        browser->pair(mac, {"phone-avahi", "Deniz'in telefonu", "iPhone15,2"});
        ASSERT_TRUE(requests->waitForCount(1, 20s));
        ASSERT_TRUE(steps->waitUntil([](const auto& all) { return stepAs<Step::Code>(all); }, 20s));
        EXPECT_EQ(stepAs<Step::Code>(steps->snapshot())->code, requests->snapshot()[0].code);
        browser->confirm(true);
        ASSERT_TRUE(requests->waitUntil(
            [](const auto& all) { return all.size() >= 2 && all.back().phoneAccepted; }, 20s));
    }

    template <class T> bool waitForStep() {
        return steps->waitUntil([](const auto& all) { return stepAs<T>(all) != nullptr; }, 20s);
    }

    std::string name;
    std::shared_ptr<Events<PairingListener::Request>> requests =
        std::make_shared<Events<PairingListener::Request>>();
    std::shared_ptr<Events<std::vector<PairingBrowser::DiscoveredMac>>> macs =
        std::make_shared<Events<std::vector<PairingBrowser::DiscoveredMac>>>();
    std::shared_ptr<Events<Step>> steps = std::make_shared<Events<Step>>();
    std::shared_ptr<PairingListener> listener;
    std::shared_ptr<PairingBrowser> browser;
};

std::shared_ptr<DnsSd> avahiDnsSd(const TestService& avahi) {
    // libdbus reads the bus address when the client connects.
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", avahi["DBUS_SYSTEM_BUS_ADDRESS"].c_str(), 1);
    auto created = AvahiDnsSd::create();
    EXPECT_TRUE(created) << "the avahi service runs but the client cannot reach it: "
                         << created.error().text();
    return created ? *created : nullptr;
}

TEST(PairingAvahi, BrowserFindsTheListenerAndBothEndsStoreTheSameKey) {
    RAVNIX_REQUIRE_SERVICE(avahi, "avahi");
    const auto dnsSd = avahiDnsSd(avahi);
    ASSERT_TRUE(dnsSd);
    PairedThroughAvahi pair(dnsSd, "");
    pair.showCodes();
    pair.listener->respond(true, 7);
    ASSERT_TRUE(pair.waitForStep<Step::Accepted>());
    const auto accepted = *stepAs<Step::Accepted>(pair.steps->snapshot());
    const auto request = pair.requests->snapshot()[0];
    const auto material = request.outcome.key.material();
    EXPECT_EQ(accepted.key, std::vector<std::uint8_t>(material.begin(), material.end()));
    EXPECT_EQ(accepted.pairingID, 7u);
    EXPECT_EQ(accepted.macName, pair.name);
    EXPECT_EQ(accepted.hosts, (std::vector<std::string>{"127.0.0.1", "192.0.2.10"}));
}

TEST(PairingAvahi, DesktopRefusalIsReportedAsRejected) {
    RAVNIX_REQUIRE_SERVICE(avahi, "avahi");
    const auto dnsSd = avahiDnsSd(avahi);
    ASSERT_TRUE(dnsSd);
    PairedThroughAvahi pair(dnsSd, "-refused");
    pair.showCodes();
    pair.listener->respond(false, std::nullopt);
    ASSERT_TRUE(pair.waitForStep<Step::Rejected>());
    EXPECT_FALSE(stepAs<Step::Accepted>(pair.steps->snapshot()));
}

} // namespace
} // namespace ravnix::test
