#include "NetworkTestSupport.hpp"
#include "platform/network/Listener.hpp"

#include <cerrno>
#include <gtest/gtest.h>

namespace ravnix::test {
namespace {

// A TCP listener on 127.0.0.1 that starts every incoming connection and reads it to the end.
// Declared after the queue; the recorders are shared with the handlers, which may outlive it.
struct StreamServer {
    explicit StreamServer(DispatchQueue& queue) {
        auto created = Listener::create({Transport::tcp, "127.0.0.1", 0, std::nullopt, nullptr});
        EXPECT_TRUE(created) << created.error().text();
        listener = std::move(*created);
        listener->setStateHandler(
            [states = states](const Listener::State& state) { states->add(state); });
        listener->setNewConnectionHandler([accepted = accepted, received = received,
                                           &queue](std::shared_ptr<Connection> connection) {
            connection->start(queue);
            receiveAll(connection, received);
            accepted->add(std::move(connection));
        });
        listener->start(queue);
    }

    HostEndpoint endpoint() const { return {"127.0.0.1", listener->port()}; }

    std::shared_ptr<Events<Listener::State>> states = std::make_shared<Events<Listener::State>>();
    std::shared_ptr<Events<std::shared_ptr<Connection>>> accepted =
        std::make_shared<Events<std::shared_ptr<Connection>>>();
    std::shared_ptr<Events<Received>> received = std::make_shared<Events<Received>>();
    std::shared_ptr<Listener> listener;
};

std::vector<std::uint8_t> lengthFramed(std::size_t payloadSize) {
    std::vector<std::uint8_t> frame(4 + payloadSize);
    const auto length = static_cast<std::uint32_t>(payloadSize);
    for (int i = 0; i < 4; ++i) {
        frame[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
    }
    for (std::size_t i = 0; i < payloadSize; ++i) {
        frame[4 + i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    return frame;
}

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
    const auto client = watch(*connection);
    connection->start(*queue);

    // One frame larger than many chunks, handed over in pieces that cut through its header.
    const auto frame = lengthFramed(100'000);
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

    ASSERT_TRUE(server.received->waitUntil([](const auto& all) {
        return !all.empty() && (all.back().isComplete || all.back().error);
    }));
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

TEST(TcpConnection, RefusedConnectionFails) {
    // A bound socket that does not listen: the kernel refuses connections to it.
    const BoundSocket blocker(SOCK_STREAM);
    ASSERT_TRUE(blocker.isBound);

    const auto queue = makeQueue();
    const auto connection =
        Connection::create(HostEndpoint{"127.0.0.1", blocker.port}, Transport::tcp);
    const auto client = watch(*connection);
    connection->start(*queue);
    ASSERT_TRUE(client->waitFor(Connection::State::Kind::failed));
    const auto states = client->states.snapshot();
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[0].kind, Connection::State::Kind::preparing);
    ASSERT_TRUE(states[1].error);
    EXPECT_EQ(states[1].error->code, ECONNREFUSED);
    EXPECT_NE(states[1].error->text().find("127.0.0.1"), std::string::npos);
}

TEST(TcpListener, CancelledListenerClosesItsPort) {
    const auto queue = makeQueue();
    StreamServer server(*queue);
    ASSERT_TRUE(server.states->waitForCount(1));
    server.listener->cancel();
    ASSERT_TRUE(server.states->waitForCount(2));
    const auto states = server.states->snapshot();
    EXPECT_EQ(states[0].kind, Listener::State::Kind::ready);
    EXPECT_EQ(states[1].kind, Listener::State::Kind::cancelled);

    const auto connection = Connection::create(server.endpoint(), Transport::tcp);
    const auto client = watch(*connection);
    connection->start(*queue);
    ASSERT_TRUE(client->waitFor(Connection::State::Kind::failed));
    EXPECT_EQ(client->states.snapshot().back().error->code, ECONNREFUSED);
    EXPECT_TRUE(server.accepted->snapshot().empty());
}

TEST(TcpListener, CreationReportsTheSystemsRefusal) {
    const auto first = Listener::create({Transport::tcp, "127.0.0.1", 0, std::nullopt, nullptr});
    ASSERT_TRUE(first) << first.error().text();
    const auto taken =
        Listener::create({Transport::tcp, "127.0.0.1", (*first)->port(), std::nullopt, nullptr});
    ASSERT_FALSE(taken);
    EXPECT_EQ(taken.error().code, EADDRINUSE);

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
