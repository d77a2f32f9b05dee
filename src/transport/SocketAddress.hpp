#pragma once
#include <cstdint>
#include <expected>
#include <netinet/in.h>
#include <string>

namespace ravnix {

// A failed system call: the call (with its argument where it matters) and errno.
struct SocketError {
    std::string operation;
    std::int32_t code = 0;

    // operation + " başarısız: " + strerror(code) + " (" + code + ")"
    std::string text() const;
    bool operator==(const SocketError&) const = default;
};

// One IPv4 socket address, kept as the system's own record, exactly as received.
struct SocketAddress {
    sockaddr_in storage{};

    SocketAddress() = default;
    explicit SocketAddress(const sockaddr_in& record) : storage(record) {}

    // From dotted-quad text; anything inet_pton refuses fails with code 22 (EINVAL).
    static std::expected<SocketAddress, SocketError> make(const std::string& host,
                                                          std::uint16_t port);

    std::string host() const;
    std::uint16_t port() const noexcept { return ntohs(storage.sin_port); }

    // Port and IPv4 address only; the rest of the record is not compared.
    bool operator==(const SocketAddress& other) const noexcept {
        return storage.sin_port == other.storage.sin_port &&
               storage.sin_addr.s_addr == other.storage.sin_addr.s_addr;
    }
};

} // namespace ravnix
