#include "NetworkTestSupport.hpp"
#include "platform/network/Listener.hpp"

#include <algorithm>
#include <cerrno>
#include <gtest/gtest.h>

namespace ravnix::test {
namespace {

// A datagram as the listener side saw it: which of its connections, and what.
struct Arrival {
    std::size_t connection = 0;
    Received received;
};

// A UDP listener on every address (both families) that starts every connection and answers
// each datagram with "re:" and the datagram on the same connection.
struct DatagramServer {
    explicit DatagramServer(DispatchQueue& queue) {
        auto created = Listener::create({Transport::udp, "", 0, std::nullopt, nullptr});
        EXPECT_TRUE(created) << created.error().text();
        listener = std::move(*created);
        listener->setNewConnectionHandler([connections = connections, arrivals = arrivals,
                                           states = states,
                                           &queue](std::shared_ptr<Connection> connection) {
            const auto index = connections->snapshot().size();
            connection->setStateHandler([states, index](const Connection::State& state) {
                states->add({index, state});
            });
            connection->start(queue);
            echo(connection, index, arrivals);
            connections->add(std::move(connection));
        });
        listener->start(queue);
    }

    static void echo(const std::shared_ptr<Connection>& connection, std::size_t index,
                     const std::shared_ptr<Events<Arrival>>& arrivals) {
        connection->receiveMessage([weak = std::weak_ptr(connection), index,
                                    arrivals](auto content, bool isComplete, const auto& error) {
            arrivals->add({index, {{content.begin(), content.end()}, isComplete, error}});
            const auto connection = weak.lock();
            if (error || !connection) {
                return;
            }
            std::vector<std::uint8_t> reply = bytesOf("re:");
            reply.insert(reply.end(), content.begin(), content.end());
            connection->send(std::move(reply));
            echo(connection, index, arrivals);
        });
    }

    HostEndpoint endpoint() const { return {"127.0.0.1", listener->port()}; }

    std::shared_ptr<Events<std::shared_ptr<Connection>>> connections =
        std::make_shared<Events<std::shared_ptr<Connection>>>();
    std::shared_ptr<Events<Arrival>> arrivals = std::make_shared<Events<Arrival>>();
    std::shared_ptr<Events<std::pair<std::size_t, Connection::State>>> states =
        std::make_shared<Events<std::pair<std::size_t, Connection::State>>>();
    std::shared_ptr<Listener> listener;
};

struct Client {
    Client(DispatchQueue& queue, const HostEndpoint& server)
        : connection(Connection::create(server, Transport::udp)) {
        connection->setStateHandler(
            [states = states](const Connection::State& state) { states->add(state); });
        connection->start(queue);
        receiveAll(connection, received);
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> result;
        for (const auto& item : received->snapshot()) {
            result.push_back(textOf(item.bytes));
        }
        return result;
    }

    std::shared_ptr<Events<Connection::State>> states =
        std::make_shared<Events<Connection::State>>();
    std::shared_ptr<Events<Received>> received = std::make_shared<Events<Received>>();
    std::shared_ptr<Connection> connection;
};

// Each sender is a connection of its own, known by its address (IPv4 as plain IPv4 on the
// dual-stack socket). A phone's connected socket takes answers only from the address it wrote
// to: 127.0.0.2 is ours too, but answers leave from 127.0.0.1 unless the listener says otherwise.
TEST(UdpListener, EachSenderIsAConnectionAnsweredFromTheAddressWrittenTo) {
    for (const char* host : {"127.0.0.2", "::1"}) {
        if (const auto missing = unbindable(host)) {
            GTEST_SKIP() << *missing;
        }
    }
    const auto queue = makeQueue();
    DatagramServer server(*queue);
    Client v4(*queue, {"127.0.0.2", server.listener->port()});
    Client v6(*queue, {"::1", server.listener->port()});
    v4.connection->send(bytesOf("v4"));
    v6.connection->send(bytesOf("v6"));
    ASSERT_TRUE(v4.received->waitForCount(1));
    ASSERT_TRUE(v6.received->waitForCount(1));
    EXPECT_EQ(v4.texts(), std::vector<std::string>{"re:v4"});
    EXPECT_EQ(v6.texts(), std::vector<std::string>{"re:v6"});

    std::vector<std::string> senders;
    for (const auto& connection : server.connections->snapshot()) {
        senders.push_back(connection->remoteEndpoint().value_or(HostEndpoint{}).host);
    }
    std::ranges::sort(senders);
    EXPECT_EQ(senders, (std::vector<std::string>{"127.0.0.1", "::1"}));
}

TEST(UdpListener, DatagramBoundariesHoldAndAnEmptyDatagramArrivesEmpty) {
    const auto queue = makeQueue();
    DatagramServer server(*queue);
    Client client(*queue, server.endpoint());

    // 9000 is more than a stream chunk: a message receive must not cut it.
    const std::vector<std::size_t> sizes = {1, 0, 1400, 9000, 3};
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        client.connection->send(std::vector<std::uint8_t>(sizes[i], static_cast<std::uint8_t>(i)));
    }
    ASSERT_TRUE(server.arrivals->waitForCount(sizes.size()));
    const auto arrivals = server.arrivals->snapshot();
    ASSERT_EQ(arrivals.size(), sizes.size());
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const auto& received = arrivals[i].received;
        EXPECT_EQ(received.bytes,
                  std::vector<std::uint8_t>(sizes[i], static_cast<std::uint8_t>(i)));
        EXPECT_TRUE(received.isComplete);
        EXPECT_FALSE(received.error);
        EXPECT_EQ(arrivals[i].connection, 0u);
    }
    ASSERT_TRUE(client.received->waitForCount(sizes.size()));
    EXPECT_EQ(client.received->snapshot()[1].bytes, bytesOf("re:"));
}

TEST(UdpListener, CancellingTheListenerCancelsItsConnections) {
    const auto queue = makeQueue();
    DatagramServer server(*queue);
    const auto listenerStates = std::make_shared<Events<Listener::State>>();
    server.listener->setStateHandler(
        [listenerStates](const Listener::State& state) { listenerStates->add(state); });
    Client client(*queue, server.endpoint());
    client.connection->send(bytesOf("x"));
    ASSERT_TRUE(server.arrivals->waitForCount(1));

    server.listener->cancel();
    ASSERT_TRUE(server.states->waitUntil([](const auto& all) {
        return !all.empty() && all.back().second.kind == Connection::State::Kind::cancelled;
    }));
    ASSERT_TRUE(listenerStates->waitUntil([](const auto& all) {
        return !all.empty() && all.back().kind == Listener::State::Kind::cancelled;
    }));
    // The connection's pending receive ended with the cancellation.
    ASSERT_TRUE(server.arrivals->waitForCount(2));
    const auto last = server.arrivals->snapshot().back();
    ASSERT_TRUE(last.received.error);
    EXPECT_EQ(last.received.error->code, ECANCELED);
}

TEST(UdpConnection, RefusedDatagramsMeanWaitingUntilThePeerAnswers) {
    const auto queue = makeQueue();
    // Nothing listens on this port once the socket is closed: the host answers "unreachable".
    std::uint16_t port = 0;
    {
        const BoundSocket probe(SOCK_DGRAM);
        port = probe.port;
    }
    Client client(*queue, {"127.0.0.1", port});
    client.connection->send(bytesOf("anyone?"));
    ASSERT_TRUE(client.states->waitUntil([](const auto& all) {
        return std::any_of(all.begin(), all.end(), [](const auto& state) {
            return state.kind == Connection::State::Kind::waiting;
        });
    }));
    auto states = client.states->snapshot();
    EXPECT_EQ(states.back().kind, Connection::State::Kind::waiting);
    ASSERT_TRUE(states.back().error);
    EXPECT_EQ(states.back().error->code, ECONNREFUSED);

    // A listener appears on the port (taken again at once, as nothing else wants it here).
    const BoundSocket answering(SOCK_DGRAM, port);
    if (!answering.isBound) {
        GTEST_SKIP() << "port " << port << " was taken by another program meanwhile";
    }
    client.connection->send(bytesOf("again"));
    char buffer[64];
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    const auto count = ::recvfrom(answering.fd, buffer, sizeof buffer, 0,
                                  reinterpret_cast<sockaddr*>(&sender), &length);
    ASSERT_EQ(count, 5);
    ASSERT_EQ(::sendto(answering.fd, "back", 4, 0, reinterpret_cast<sockaddr*>(&sender), length),
              4);

    ASSERT_TRUE(client.received->waitForCount(1));
    EXPECT_EQ(textOf(client.received->snapshot()[0].bytes), "back");
    ASSERT_TRUE(client.states->waitUntil(
        [](const auto& all) { return all.back().kind == Connection::State::Kind::ready; }));
    states = client.states->snapshot();
    EXPECT_EQ(states.front().kind, Connection::State::Kind::preparing);
    EXPECT_EQ(std::count_if(
                  states.begin(), states.end(),
                  [](const auto& state) { return state.kind == Connection::State::Kind::failed; }),
              0);
}

} // namespace
} // namespace ravnix::test
