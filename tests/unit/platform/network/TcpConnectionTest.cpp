#include "NetworkTestSupport.hpp"

#include <cerrno>
#include <gtest/gtest.h>

namespace ravnix::test {
namespace {

// A TCP listener on every address (both families) that reads every connection to the end.
struct StreamServer : RecordingListener {
    explicit StreamServer(DispatchQueue& queue)
        : RecordingListener(queue, {Transport::tcp, "", 0, std::nullopt, nullptr}) {}
};

// States of a connection as text, with an entry for every receive or send completion.
struct Timeline {
    bool waitFor(Connection::State::Kind kind) {
        return states.waitUntil(
            [kind](const auto& all) { return !all.empty() && all.back().kind == kind; });
    }
    Events<Connection::State> states;
    Events<std::string> entries;
};

std::shared_ptr<Timeline> watch(Connection& connection) {
    auto timeline = std::make_shared<Timeline>();
    connection.setStateHandler([timeline](const Connection::State& state) {
        timeline->states.add(state);
        timeline->entries.add(describe(state));
    });
    return timeline;
}

TEST(TcpConnection, StreamArrivesInBoundedChunksWholeAndEndsWithCompletion) {
    const auto queue = makeQueue();
    StreamServer server(*queue);
    const auto connection = Connection::create(server.endpoint(), Transport::tcp);
    connection->start(*queue);

    // More than many chunks, handed over in pieces of very different sizes.
    std::vector<std::uint8_t> frame(100'004);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    const std::size_t cuts[] = {0, 1, 3, 70'000, frame.size()};
    auto sent = std::make_shared<Events<std::optional<NetworkError>>>();
    for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
        connection->send({frame.begin() + static_cast<std::ptrdiff_t>(cuts[i]),
                          frame.begin() + static_cast<std::ptrdiff_t>(cuts[i + 1])},
                         [sent](const auto& error) { sent->add(error); });
    }
    ASSERT_TRUE(sent->waitForCount(4));
    for (const auto& error : sent->snapshot()) {
        EXPECT_FALSE(error) << error->text();
    }
    EXPECT_EQ(connection->remoteEndpoint(), server.endpoint());
    connection->cancel(); // after the last send completed: the peer reads all, then the end

    ASSERT_TRUE(server.received->waitUntil(hasEnded));
    std::vector<std::uint8_t> joined;
    const auto chunks = server.received->snapshot();
    for (const auto& chunk : chunks) {
        EXPECT_LE(chunk.bytes.size(), 8192u);
        EXPECT_FALSE(chunk.error) << chunk.error->text();
        joined.insert(joined.end(), chunk.bytes.begin(), chunk.bytes.end());
    }
    for (std::size_t i = 0; i + 1 < chunks.size(); ++i) {
        EXPECT_FALSE(chunks[i].bytes.empty()) << "chunk " << i;
        EXPECT_FALSE(chunks[i].isComplete) << "chunk " << i;
    }
    EXPECT_TRUE(chunks.back().isComplete);
    EXPECT_EQ(joined, frame);

    const auto accepted = server.accepted->snapshot();
    ASSERT_EQ(accepted.size(), 1u);
    const auto peer = accepted[0]->remoteEndpoint();
    ASSERT_TRUE(peer);
    EXPECT_EQ(peer->host, "127.0.0.1");
    EXPECT_NE(peer->port, server.listener->port());
}

TEST(TcpConnection, CancelEndsPendingWorkThenReportsCancelledOnce) {
    const auto queue = makeQueue();
    StreamServer server(*queue);
    const auto connection = Connection::create(server.endpoint(), Transport::tcp);
    const auto client = watch(*connection);
    connection->start(*queue);
    ASSERT_TRUE(client->waitFor(Connection::State::Kind::ready));

    // The server never sends, so this receive is still waiting when the cancel comes.
    connection->receive(1, 8192, [client](auto content, bool, const auto& error) {
        client->entries.add("receive " + std::to_string(content.size()) + " " +
                            (error ? std::to_string(error->code) : "ok"));
    });
    connection->cancel();
    ASSERT_TRUE(client->waitFor(Connection::State::Kind::cancelled));
    connection->send(bytesOf("late"), [client](const auto& error) {
        client->entries.add("send " + (error ? std::to_string(error->code) : "ok"));
    });
    connection->cancel(); // a second cancel reports nothing more
    ASSERT_TRUE(client->entries.waitForCount(5));

    const std::vector<std::string> expected = {"preparing", "ready",
                                               "receive 0 " + std::to_string(ECANCELED),
                                               "cancelled", "send " + std::to_string(ECANCELED)};
    EXPECT_EQ(client->entries.snapshot(), expected);
    // The server's side sees the end of the stream.
    EXPECT_TRUE(server.received->waitUntil(
        [](const auto& all) { return !all.empty() && all.back().isComplete; }));
}

// Once cancelled the listener's port is closed: the kernel refuses the connection.
TEST(TcpListener, CancelledListenerClosesItsPortAndAConnectionIsRefused) {
    const auto queue = makeQueue();
    StreamServer server(*queue);
    ASSERT_TRUE(server.states->waitForCount(1));
    server.listener->cancel();
    ASSERT_TRUE(server.states->waitForCount(2));
    EXPECT_EQ(server.states->snapshot()[0].kind, Listener::State::Kind::ready);
    EXPECT_EQ(server.states->snapshot()[1].kind, Listener::State::Kind::cancelled);

    const auto connection = Connection::create(server.endpoint(), Transport::tcp);
    const auto client = watch(*connection);
    connection->start(*queue);
    ASSERT_TRUE(client->waitFor(Connection::State::Kind::failed));
    const auto states = client->states.snapshot();
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[0].kind, Connection::State::Kind::preparing);
    ASSERT_TRUE(states[1].error);
    EXPECT_EQ(states[1].error->code, ECONNREFUSED);
    EXPECT_NE(states[1].error->text().find("127.0.0.1"), std::string::npos);
    EXPECT_TRUE(server.accepted->snapshot().empty());
}

TEST(TcpListener, CreationReportsTheSystemsRefusal) {
    const auto first = Listener::create({Transport::tcp, "127.0.0.1", 0, std::nullopt, nullptr});
    ASSERT_TRUE(first) << first.error().text();
    const auto taken =
        Listener::create({Transport::tcp, "127.0.0.1", (*first)->port(), std::nullopt, nullptr});
    ASSERT_FALSE(taken);
    EXPECT_EQ(taken.error().code, EADDRINUSE);
    // Unless the caller lets the system pick another one: for both transports, on every
    // address, against a port held on one address only.
    for (const Transport transport : {Transport::tcp, Transport::udp}) {
        const auto holder = Listener::create({transport, "127.0.0.1", 0, std::nullopt, nullptr});
        ASSERT_TRUE(holder) << holder.error().text();
        const std::uint16_t held = (*holder)->port();
        const auto moved = Listener::create(
            {transport, "", held, std::nullopt, nullptr, /*anyPortWhenTaken=*/true});
        ASSERT_TRUE(moved) << moved.error().text();
        EXPECT_NE((*moved)->port(), held);
        EXPECT_NE((*moved)->port(), 0);
    }

    const auto badHost =
        Listener::create({Transport::tcp, "localhost:1", 0, std::nullopt, nullptr});
    ASSERT_FALSE(badHost);
    EXPECT_EQ(badHost.error().code, EINVAL);

    // Advertising needs a DNS-SD backend.
    const auto noDnsSd =
        Listener::create({Transport::tcp, "127.0.0.1", 0,
                          Listener::Service{"a", "_ravnixtest._tcp", "", {}}, nullptr});
    ASSERT_FALSE(noDnsSd);
    EXPECT_EQ(noDnsSd.error().code, EINVAL);
}

} // namespace
} // namespace ravnix::test
