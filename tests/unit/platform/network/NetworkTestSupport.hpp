#pragma once
// Shared by the network tests: values recorded on a queue and awaited with a deadline, receive
// loops and listeners that record what arrives.

#include "platform/DispatchQueue.hpp"
#include "platform/network/Connection.hpp"
#include "platform/network/Listener.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace ravnix::test {

using namespace std::chrono_literals;

// Values added from any thread; the test thread waits for a condition with a deadline.
template <class T> class Events {
  public:
    void add(T value) {
        std::lock_guard lock(valuesLock_);
        values_.push_back(std::move(value));
        changed_.notify_all();
    }
    template <class Predicate>
    bool waitUntil(Predicate predicate, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(valuesLock_);
        return changed_.wait_for(lock, limit, [&] { return predicate(values_); });
    }
    bool waitForCount(std::size_t count, std::chrono::milliseconds limit = 10s) {
        return waitUntil([count](const std::vector<T>& values) { return values.size() >= count; },
                         limit);
    }
    std::vector<T> snapshot() const {
        std::lock_guard lock(valuesLock_);
        return values_;
    }
    // The values so far, which are then forgotten.
    std::vector<T> take() {
        std::lock_guard lock(valuesLock_);
        return std::exchange(values_, {});
    }

  private:
    mutable std::mutex valuesLock_;
    std::condition_variable changed_;
    std::vector<T> values_;
};

inline std::unique_ptr<DispatchQueue> makeQueue(std::string label = "com.belvor.ravnix.nettest") {
    auto queue = DispatchQueue::create(std::move(label));
    if (!queue) {
        ADD_FAILURE() << queue.error().text();
        return nullptr;
    }
    return std::move(*queue);
}

inline std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

inline std::string textOf(const std::vector<std::uint8_t>& bytes) {
    return {bytes.begin(), bytes.end()};
}

// One receive completion as the test saw it.
struct Received {
    std::vector<std::uint8_t> bytes;
    bool isComplete = false;
    std::optional<NetworkError> error;
};

// Receives on `connection` until an error, or for streams until the end, adding each
// completion to `into`. Datagram connections use message receives. Holds the connection weakly.
inline void receiveAll(const std::shared_ptr<Connection>& connection,
                       std::shared_ptr<Events<Received>> into) {
    const bool isStream = connection->transport() == Transport::tcp;
    auto next = [weak = std::weak_ptr(connection), into,
                 isStream](std::span<const std::uint8_t> content, bool isComplete,
                           const std::optional<NetworkError>& error) {
        into->add({{content.begin(), content.end()}, isComplete, error});
        if (error || (isStream && isComplete)) {
            return;
        }
        if (const auto connection = weak.lock()) {
            receiveAll(connection, into);
        }
    };
    if (isStream) {
        connection->receive(1, 8192, std::move(next));
    } else {
        connection->receiveMessage(std::move(next));
    }
}

// Whether a receive loop's record has ended: the stream's end or an error.
inline bool hasEnded(const std::vector<Received>& all) {
    return !all.empty() && (all.back().isComplete || all.back().error);
}

// A listener that starts every incoming connection and records the names it is published under,
// its states, its connections and what they receive. Declare it after the queue; the recorders
// are shared with the handlers, which may outlive it.
struct RecordingListener {
    RecordingListener(DispatchQueue& queue, Listener::Parameters parameters) {
        auto created = Listener::create(std::move(parameters));
        EXPECT_TRUE(created) << created.error().text();
        listener = std::move(created.value());
        listener->setServiceHandler(
            [names = names](const ServiceEndpoint& service) { names->add(service.name); });
        listener->setStateHandler(
            [states = states](const Listener::State& state) { states->add(state); });
        listener->setNewConnectionHandler([received = received, accepted = accepted,
                                           &queue](std::shared_ptr<Connection> connection) {
            connection->start(queue);
            receiveAll(connection, received);
            accepted->add(std::move(connection));
        });
        listener->start(queue);
    }
    HostEndpoint endpoint() const { return {"127.0.0.1", listener->port()}; }

    std::shared_ptr<Events<std::string>> names = std::make_shared<Events<std::string>>();
    std::shared_ptr<Events<Listener::State>> states = std::make_shared<Events<Listener::State>>();
    std::shared_ptr<Events<Received>> received = std::make_shared<Events<Received>>();
    std::shared_ptr<Events<std::shared_ptr<Connection>>> accepted =
        std::make_shared<Events<std::shared_ptr<Connection>>>();
    std::shared_ptr<Listener> listener;
};

// A socket of the test's own, bound to 127.0.0.1 on a port the system picks (or `port`); reads
// give up after five seconds.
struct BoundSocket {
    explicit BoundSocket(int type, std::uint16_t wanted = 0) {
        fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(wanted);
        socklen_t length = sizeof address;
        isBound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
        port = ntohs(address.sin_port);
        const timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    ~BoundSocket() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    BoundSocket(const BoundSocket&) = delete;
    BoundSocket& operator=(const BoundSocket&) = delete;

    int fd = -1;
    bool isBound = false;
    std::uint16_t port = 0;
};

// Why a socket cannot be bound to the numeric address `host` here (say "::1" on a system
// without IPv6), or nothing when it can.
inline std::optional<std::string> unbindable(const std::string& host) {
    sockaddr_storage address{};
    socklen_t length = 0;
    if (auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        ::inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        length = sizeof v4;
    } else if (auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
               ::inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        length = sizeof v6;
    } else {
        return "\"" + host + "\" is no numeric address";
    }
    const int fd = ::socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool isBound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
    const int code = errno;
    if (fd >= 0) {
        ::close(fd);
    }
    if (isBound) {
        return std::nullopt;
    }
    return host + " is not available on this machine: " + std::strerror(code);
}

inline std::string describe(const Connection::State& state) {
    static constexpr const char* names[] = {"setup",   "preparing", "ready",
                                            "waiting", "failed",    "cancelled"};
    std::string text = names[static_cast<int>(state.kind)];
    if (state.error) {
        text += "(" + std::to_string(state.error->code) + ")";
    }
    return text;
}

} // namespace ravnix::test
