#pragma once
// Pure, allocation-free reads and writes of touch-link packets over caller storage.
// Every operation either returns its result or one PacketError; none keeps state, so all
// of them may run on any thread at once.

#include "packet/PacketFormat.hpp"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

namespace ravnix {

struct CommonHeader {
    PacketKind kind = PacketKind::touch;
    std::uint32_t sequence = 0;
    std::uint64_t deviceTimeNanos = 0;
    bool operator==(const CommonHeader&) const = default;
};

struct Trailer {
    std::uint32_t pairingID = 0;
    std::uint64_t tag = 0;
    std::size_t bodyLength = 0;
    bool operator==(const Trailer&) const = default;
};

struct PacketCodec {
    PacketCodec() = delete;
    using Bytes = std::span<const std::uint8_t>;
    using MutableBytes = std::span<std::uint8_t>;

    // The first 16 bytes of any packet. Checks length, magic, version, kind in that order.
    static std::expected<CommonHeader, PacketError> peekHeader(Bytes bytes) noexcept;

    // A touch body (without trailer). Writes fingerCount samples to the front of `samples`;
    // on failure some slots may already be written. clickCount 0 on the wire reads as 1.
    static std::expected<TouchHeader, PacketError>
    decodeTouch(Bytes bytes, std::span<FingerSample> samples) noexcept;

    // Writes 23 + 14·n bytes; the finger count written is samples.size(), not the header's.
    static std::expected<std::size_t, PacketError>
    encodeTouch(const TouchHeader& header, std::span<const FingerSample> samples,
                MutableBytes buffer) noexcept;

    // A ping or a pong; bye and unpaired are acted on from the common header alone.
    static std::expected<ControlPacket, PacketError> decodeControl(Bytes bytes) noexcept;

    // Writes the 24 bytes of any control packet and returns 24.
    static std::expected<std::size_t, PacketError> encodeControl(const ControlPacket& packet,
                                                                 MutableBytes buffer) noexcept;

    // Writes pairingID and tag at `offset`; returns offset + 12.
    static std::expected<std::size_t, PacketError> appendTrailer(std::uint32_t pairingID,
                                                                 std::uint64_t tag,
                                                                 MutableBytes buffer,
                                                                 std::size_t offset) noexcept;

    // The last 12 bytes; needs at least one body byte before them.
    static std::expected<Trailer, PacketError> readTrailer(Bytes bytes) noexcept;
};

} // namespace ravnix
