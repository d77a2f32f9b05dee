#pragma once
// A plain blocking IPv4 UDP socket: one receiving thread with a short timeout, any number
// of sending threads on the same descriptor (the kernel serialises them).

#include "transport/SocketAddress.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>

namespace ravnix {

class UDPSocket {
  public:
    struct Datagram {
        std::size_t count = 0;
        SocketAddress sender;
    };

    // socket(AF_INET, SOCK_DGRAM) with SO_REUSEADDR; "socket()" on failure.
    static std::expected<std::shared_ptr<UDPSocket>, SocketError> create();

    ~UDPSocket();
    UDPSocket(const UDPSocket&) = delete;
    UDPSocket& operator=(const UDPSocket&) = delete;

    int descriptor() const noexcept { return descriptor_.load(std::memory_order_relaxed); }

    // INADDR_ANY and the port; "bind(<port>)" on failure.
    std::expected<void, SocketError> bind(std::uint16_t port);
    // SO_RCVTIMEO; seconds are finite and small.
    std::expected<void, SocketError> setReceiveTimeout(double seconds);
    // One sendto; returns the bytes the system accepted.
    std::expected<std::size_t, SocketError> send(std::span<const std::uint8_t> bytes,
                                                 const SocketAddress& to);
    // A datagram (cut to the buffer's length), nothing when the timeout expired, or a failure.
    std::expected<std::optional<Datagram>, SocketError> receive(std::span<std::uint8_t> into);
    // Closes ahead of release; release then closes nothing a second time.
    void close() noexcept;

  private:
    explicit UDPSocket(int descriptor) noexcept : descriptor_(descriptor) {}
    std::atomic<int> descriptor_;
};

} // namespace ravnix
