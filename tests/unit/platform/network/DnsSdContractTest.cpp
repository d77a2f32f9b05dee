#include "DnsSdContract.hpp"

#include "NetworkTestSupport.hpp"
#include "platform/network/Browser.hpp"

#include <algorithm>
#include <unistd.h>

namespace ravnix::test {
namespace {

const std::string streamType = "_ravnixtest._tcp";
const std::string datagramType = "_ravnixtest._udp";

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

TEST_P(DnsSdContract, AdvertisedServiceIsFoundWithItsTxtReachedAndLost) {
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

TEST_P(DnsSdContract, NameCollisionTakesTheNextName) {
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

TEST_P(DnsSdContract, DatagramServiceIsReachedThroughItsEndpoint) {
    const auto queue = makeQueue();
    const auto name = uniqueName("datagram");
    AdvertisedListener server(*queue, dnsSd, Transport::udp,
                              {name, datagramType, "", {{"mac", "m-7"}}});
    EXPECT_EQ(server.publishedName(), name);

    const auto sets = std::make_shared<ResultSets>();
    const auto browser = browse(*queue, dnsSd, datagramType, false, sets);
    ASSERT_TRUE(sets->waitUntil(
        [&](const auto& all) { return !all.empty() && findResult(all.back(), name); }));
    const auto endpoint = findResult(sets->snapshot().back(), name)->endpoint;

    const auto connection = Connection::create(endpoint, Transport::udp, dnsSd);
    const auto replies = std::make_shared<Events<Received>>();
    connection->start(*queue);
    receiveAll(connection, replies);
    connection->send(bytesOf("ping"));
    ASSERT_TRUE(server.accepted->waitForCount(1));
    ASSERT_TRUE(server.received->waitForCount(1));
    EXPECT_EQ(textOf(server.received->snapshot()[0].bytes), "ping");
    server.accepted->snapshot()[0]->send(bytesOf("pong"));
    ASSERT_TRUE(replies->waitForCount(1));
    EXPECT_EQ(textOf(replies->snapshot()[0].bytes), "pong");
}

TEST_P(DnsSdContract, UnknownServiceOrTypeFails) {
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
