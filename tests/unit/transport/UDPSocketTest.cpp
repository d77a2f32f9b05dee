#include "transport/UDPSocket.hpp"

#include "transport/MonotonicClock.hpp"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <vector>

namespace ravnix {
namespace {

std::shared_ptr<UDPSocket> boundSocket() {
    auto socket = UDPSocket::create();
    EXPECT_TRUE(socket) << socket.error().text();
    auto bound = (*socket)->bind(0);
    EXPECT_TRUE(bound) << bound.error().text();
    return *socket;
}

std::uint16_t localPort(int fd) {
    sockaddr_in record{};
    socklen_t length = sizeof record;
    getsockname(fd, reinterpret_cast<sockaddr*>(&record), &length);
    return ntohs(record.sin_port);
}

SocketAddress loopback(std::uint16_t port) {
    return SocketAddress::make("127.0.0.1", port).value();
}

TEST(UDPSocket, TimeoutReportsNoDatagramNotAnError) {
    auto socket = boundSocket();
    ASSERT_TRUE(socket->setReceiveTimeout(0.25));
    std::array<std::uint8_t, 112> buffer{};
    const auto start = MonotonicClock::now();
    auto outcome = socket->receive(buffer);
    const double waited = static_cast<double>(MonotonicClock::now() - start) / 1e9;
    ASSERT_TRUE(outcome) << outcome.error().text();
    EXPECT_FALSE(outcome->has_value());
    EXPECT_GT(waited, 0.15);
    EXPECT_LT(waited, 2.0);
}

TEST(UDPSocket, LongDatagramsAreCutAndEmptyOnesCountZero) {
    auto receiver = boundSocket();
    auto sender = boundSocket();
    ASSERT_TRUE(receiver->setReceiveTimeout(2.0));
    const auto to = loopback(localPort(receiver->descriptor()));

    std::vector<std::uint8_t> big(200, 0x5A);
    ASSERT_EQ(sender->send(big, to).value(), 200u);
    ASSERT_EQ(sender->send({}, to).value(), 0u);

    std::array<std::uint8_t, 112> buffer{};
    auto first = receiver->receive(buffer);
    ASSERT_TRUE(first && first->has_value());
    EXPECT_EQ((*first)->count, 112u);
    EXPECT_EQ((*first)->sender, loopback(localPort(sender->descriptor())));
    EXPECT_EQ((*first)->sender.host(), "127.0.0.1");

    auto second = receiver->receive(buffer);
    ASSERT_TRUE(second && second->has_value());
    EXPECT_EQ((*second)->count, 0u);
}

TEST(UDPSocket, BindingAHeldPortFailsWithThePortInTheText) {
    // The holder does not set SO_REUSEADDR, so ours cannot share the port.
    const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    const std::uint16_t port = localPort(holder);

    auto socket = UDPSocket::create().value();
    auto bound = socket->bind(port);
    ::close(holder);
    ASSERT_FALSE(bound);
    EXPECT_EQ(bound.error().code, EADDRINUSE);
    const std::string operation = "bind(" + std::to_string(port) + ")";
    EXPECT_EQ(bound.error().operation, operation);
    const std::string text = bound.error().text();
    EXPECT_EQ(text, operation + " başarısız: " + std::strerror(EADDRINUSE) + " (" +
                        std::to_string(EADDRINUSE) + ")");
}

TEST(UDPSocket, ExplicitCloseIsNotRepeatedOnRelease) {
    auto socket = UDPSocket::create().value();
    const int fd = socket->descriptor();
    socket->close();
    EXPECT_EQ(socket->descriptor(), -1);
    // The number is free again; whoever gets it next must keep it after our release.
    const int reused = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(reused, fd);
    socket->close();
    socket.reset();
    EXPECT_NE(::fcntl(reused, F_GETFD), -1) << "descriptor closed a second time";
    ::close(reused);
}

TEST(SocketAddress, ParsingRoundTripAndEquality) {
    auto bad = SocketAddress::make("256.1.1.1", 80);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().code, 22);
    EXPECT_EQ(bad.error().operation, "inet_pton(256.1.1.1)");

    auto address = SocketAddress::make("192.168.1.20", 9931).value();
    EXPECT_EQ(address.host(), "192.168.1.20");
    EXPECT_EQ(address.port(), 9931);
    EXPECT_EQ(address.storage.sin_port, htons(9931));

    SocketAddress other = address;
    other.storage.sin_zero[3] = 7; // only port and address take part
    EXPECT_EQ(other, address);
    EXPECT_NE(SocketAddress::make("192.168.1.20", 9932).value(), address);
    EXPECT_NE(SocketAddress::make("192.168.1.21", 9931).value(), address);
}

} // namespace
} // namespace ravnix
