#include "platform/network/AvahiDnsSd.hpp"

#include "NetworkTestSupport.hpp"
#include "platform/network/Browser.hpp"
#include "support/TestService.hpp"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>

// ThreadSanitizer: libdbus takes two of its own locks in one order when avahi-client connects
// and in the other when it disconnects, on one thread here; libdbus's locking is not ours to
// judge, so its lock-order reports are left out. Used only by sanitizer builds.
extern "C" const char* __tsan_default_suppressions() {
    return "deadlock:libdbus-1.so\n";
}

namespace ravnix::test {
namespace {

// What the listeners, browsers and connections above DNS-SD rely on, against the daemon of the
// avahi test service; each test skips with the service's reason when there is none.
class AvahiDnsSdTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto service = loadTestService("avahi");
        if (!service.isAvailable()) {
            GTEST_SKIP() << "avahi: " << service.skipReason;
        }
        // libdbus reads the bus address when the client connects.
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", service["DBUS_SYSTEM_BUS_ADDRESS"].c_str(), 1);
        auto created = AvahiDnsSd::create();
        ASSERT_TRUE(created) << "the avahi service runs but the client cannot reach it: "
                             << created.error().text();
        dnsSd = *created;
    }
    std::shared_ptr<DnsSd> dnsSd;
};

const std::string streamType = "_ravnixtest._tcp";

// Unique to this process: test runs that share a daemon do not see each other's services.
std::string uniqueName(const std::string& what) {
    return "ravnix " + what + " " + std::to_string(::getpid());
}

using ResultSets = Events<std::vector<Browser::Result>>;

const Browser::Result* findResult(const std::vector<Browser::Result>& results,
                                  const std::string& name) {
    const auto found = std::find_if(results.begin(), results.end(), [&](const auto& result) {
        return result.endpoint.name == name;
    });
    return found == results.end() ? nullptr : &*found;
}

// A listener on 127.0.0.1 advertised as `service`.
struct AdvertisedListener : RecordingListener {
    AdvertisedListener(DispatchQueue& queue, const std::shared_ptr<DnsSd>& dnsSd,
                       Transport transport, Listener::Service service)
        : RecordingListener(queue, {transport, "127.0.0.1", 0, std::move(service), dnsSd}) {}
    std::string publishedName() {
        EXPECT_TRUE(names->waitForCount(1)) << "the service was not published";
        const auto all = names->snapshot();
        return all.empty() ? std::string() : all.back();
    }
};

std::shared_ptr<Browser> browse(DispatchQueue& queue, const std::shared_ptr<DnsSd>& dnsSd,
                                const std::string& type, bool includeTxt,
                                const std::shared_ptr<ResultSets>& sets) {
    auto browser = Browser::create(type, "", includeTxt, dnsSd);
    browser->setResultsHandler([sets](const auto& results) { sets->add(results); });
    browser->start(queue);
    return browser;
}

TEST_F(AvahiDnsSdTest, AdvertisedServiceIsFoundWithItsTxtReachedAndLost) {
    const auto queue = makeQueue();
    const auto name = uniqueName("found");
    const TxtRecord txt = {{"mac", "m-42"}, {"udp", "9931"}};
    AdvertisedListener server(*queue, dnsSd, Transport::tcp, {name, streamType, "", txt});
    EXPECT_EQ(server.publishedName(), name);

    const auto sets = std::make_shared<ResultSets>();
    const auto browser = browse(*queue, dnsSd, streamType, true, sets);
    ASSERT_TRUE(sets->waitUntil([&](const auto& all) {
        return !all.empty() && findResult(all.back(), name) != nullptr &&
               findResult(all.back(), name)->txt.has_value();
    })) << "the advertised service was not found with a TXT record";
    const auto found = *findResult(sets->snapshot().back(), name);
    EXPECT_EQ(found.txt, txt);
    EXPECT_EQ(found.endpoint.type, streamType);
    EXPECT_EQ(found.endpoint.domain, "local");

    // The endpoint leads to the listener.
    const auto connection = Connection::create(found.endpoint, Transport::tcp, dnsSd);
    const auto states = std::make_shared<Events<Connection::State>>();
    connection->setStateHandler([states](const auto& state) { states->add(state); });
    connection->start(*queue);
    connection->send(bytesOf("hello"));
    ASSERT_TRUE(server.received->waitForCount(1));
    EXPECT_EQ(textOf(server.received->snapshot()[0].bytes), "hello");
    EXPECT_EQ(connection->remoteEndpoint(), (HostEndpoint{"127.0.0.1", server.listener->port()}));

    // Withdrawn with the listener: the next result set no longer has it.
    server.listener->cancel();
    ASSERT_TRUE(sets->waitUntil([&](const auto& all) {
        return !all.empty() && findResult(all.back(), name) == nullptr;
    })) << "the withdrawn service is still listed";
    const auto connectionStates = states->snapshot();
    ASSERT_FALSE(connectionStates.empty());
    EXPECT_EQ(connectionStates.back().kind, Connection::State::Kind::ready);
}

TEST_F(AvahiDnsSdTest, NameCollisionTakesTheNextName) {
    const auto queue = makeQueue();
    const auto name = uniqueName("twin");
    AdvertisedListener first(*queue, dnsSd, Transport::tcp, {name, streamType, "", {}});
    EXPECT_EQ(first.publishedName(), name);
    AdvertisedListener second(*queue, dnsSd, Transport::tcp, {name, streamType, "", {}});
    EXPECT_EQ(second.publishedName(), name + " #2");

    const auto sets = std::make_shared<ResultSets>();
    const auto browser = browse(*queue, dnsSd, streamType, false, sets);
    ASSERT_TRUE(sets->waitUntil([&](const auto& all) {
        return !all.empty() && findResult(all.back(), name) && findResult(all.back(), name + " #2");
    }));
    const auto results = sets->snapshot().back();
    EXPECT_FALSE(findResult(results, name)->txt); // not asked for
    EXPECT_TRUE(std::is_sorted(results.begin(), results.end(), [](const auto& a, const auto& b) {
        return a.endpoint < b.endpoint;
    }));
    for (const auto* server : {&first, &second}) {
        for (const auto& state : server->states->snapshot()) {
            EXPECT_NE(state.kind, Listener::State::Kind::failed) << state.error->text();
        }
    }
}

// A datagram service reached through avahi: the peer route of PhoneEndToEndTest.
TEST_F(AvahiDnsSdTest, UnknownServiceOrTypeFails) {
    const auto queue = makeQueue();
    const auto connection = Connection::create(
        ServiceEndpoint{uniqueName("nobody"), streamType, ""}, Transport::tcp, dnsSd);
    const auto states = std::make_shared<Events<Connection::State>>();
    connection->setStateHandler([states](const auto& state) { states->add(state); });
    connection->start(*queue);

    // A listener whose service type DNS-SD refuses fails instead of running unannounced.
    AdvertisedListener server(*queue, dnsSd, Transport::tcp, {"x", "no-type", "", {}});
    ASSERT_TRUE(server.states->waitUntil([](const auto& all) {
        return !all.empty() && all.back().kind == Listener::State::Kind::failed;
    }));
    EXPECT_TRUE(server.states->snapshot().back().error);

    // The daemon gives up on an instance that never answers after a few seconds.
    ASSERT_TRUE(states->waitUntil(
        [](const auto& all) {
            return !all.empty() && all.back().kind == Connection::State::Kind::failed;
        },
        20s));
    for (const auto& state : states->snapshot()) {
        EXPECT_NE(state.kind, Connection::State::Kind::ready);
    }
}

} // namespace
} // namespace ravnix::test
