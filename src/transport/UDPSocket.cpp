#include "transport/UDPSocket.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace ravnix {

std::string SocketError::text() const {
    char buffer[256];
    // GNU strerror_r: thread-safe, returns the message (possibly not in `buffer`).
    const char* message = strerror_r(code, buffer, sizeof buffer);
    return operation + " başarısız: " + message + " (" + std::to_string(code) + ")";
}

std::expected<SocketAddress, SocketError> SocketAddress::make(const std::string& host,
                                                              std::uint16_t port) {
    sockaddr_in record{};
    record.sin_family = AF_INET;
    record.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &record.sin_addr) != 1) {
        return std::unexpected(SocketError{"inet_pton(" + host + ")", EINVAL});
    }
    return SocketAddress(record);
}

std::string SocketAddress::host() const {
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &storage.sin_addr, text, sizeof text) == nullptr) {
        return {};
    }
    return std::string(text);
}

std::expected<std::shared_ptr<UDPSocket>, SocketError> UDPSocket::create() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return std::unexpected(SocketError{"socket()", errno});
    }
    int one = 1;
    (void)::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    return std::shared_ptr<UDPSocket>(new UDPSocket(fd));
}

UDPSocket::~UDPSocket() {
    close();
}

void UDPSocket::close() noexcept {
    const int fd = descriptor_.exchange(-1);
    if (fd >= 0) {
        ::close(fd);
    }
}

std::expected<void, SocketError> UDPSocket::bind(std::uint16_t port) {
    sockaddr_in record{};
    record.sin_family = AF_INET;
    record.sin_port = htons(port);
    record.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(descriptor(), reinterpret_cast<const sockaddr*>(&record), sizeof record) != 0) {
        return std::unexpected(SocketError{"bind(" + std::to_string(port) + ")", errno});
    }
    return {};
}

std::expected<void, SocketError> UDPSocket::setReceiveTimeout(double seconds) {
    timeval tv{};
    const double whole = std::trunc(seconds);
    tv.tv_sec = static_cast<time_t>(whole);
    tv.tv_usec = static_cast<suseconds_t>((seconds - whole) * 1'000'000.0);
    if (::setsockopt(descriptor(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
        return std::unexpected(SocketError{"setsockopt(SO_RCVTIMEO)", errno});
    }
    return {};
}

std::expected<std::size_t, SocketError> UDPSocket::send(std::span<const std::uint8_t> bytes,
                                                        const SocketAddress& to) {
    const ssize_t sent =
        ::sendto(descriptor(), bytes.data(), bytes.size(), 0,
                 reinterpret_cast<const sockaddr*>(&to.storage), sizeof to.storage);
    if (sent < 0) {
        return std::unexpected(SocketError{"sendto()", errno});
    }
    return static_cast<std::size_t>(sent);
}

std::expected<std::optional<UDPSocket::Datagram>, SocketError>
UDPSocket::receive(std::span<std::uint8_t> into) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t count = ::recvfrom(descriptor(), into.data(), into.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &length);
    if (count < 0) {
        const int code = errno;
        if (code == EAGAIN || code == EWOULDBLOCK) {
            return std::optional<Datagram>{};
        }
        return std::unexpected(SocketError{"recvfrom()", code});
    }
    return std::optional<Datagram>{Datagram{static_cast<std::size_t>(count), SocketAddress(from)}};
}

} // namespace ravnix
