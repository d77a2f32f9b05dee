#include "packet/PacketCodec.hpp"

#include "packet/ByteOrder.hpp"

#include <cstdio>

namespace ravnix {
namespace {

constexpr std::size_t kHeader = PacketFormat::headerSize;
constexpr std::size_t kTouchHeader = PacketFormat::touchHeaderSize;
constexpr std::size_t kRecord = PacketFormat::fingerRecordSize;
constexpr std::size_t kControl = PacketFormat::controlPacketSize;
constexpr std::size_t kTrailer = PacketFormat::trailerSize;

constexpr bool isKind(std::uint8_t raw) noexcept {
    return raw >= static_cast<std::uint8_t>(PacketKind::touch) &&
           raw <= static_cast<std::uint8_t>(PacketKind::unpaired);
}

constexpr bool isPhase(std::uint8_t raw) noexcept {
    return raw <= static_cast<std::uint8_t>(FingerPhase::cancelled);
}

void writeCommonHeader(std::uint8_t* out, PacketKind kind, std::uint32_t sequence,
                       std::uint64_t deviceTimeNanos) noexcept {
    le::store<std::uint16_t>(out, PacketFormat::magic);
    out[2] = PacketFormat::version;
    out[3] = static_cast<std::uint8_t>(kind);
    le::store<std::uint32_t>(out + 4, sequence);
    le::store<std::uint64_t>(out + 8, deviceTimeNanos);
}

std::int64_t signedSize(std::size_t n) noexcept {
    return static_cast<std::int64_t>(n);
}

} // namespace

std::expected<CommonHeader, PacketError> PacketCodec::peekHeader(Bytes bytes) noexcept {
    if (bytes.size() < kHeader) {
        return std::unexpected(
            PacketError::Truncated{signedSize(kHeader), signedSize(bytes.size())});
    }
    const std::uint8_t* p = bytes.data();
    if (auto magic = le::load<std::uint16_t>(p); magic != PacketFormat::magic) {
        return std::unexpected(PacketError::BadMagic{magic});
    }
    if (p[2] != PacketFormat::version) {
        return std::unexpected(PacketError::UnsupportedVersion{p[2]});
    }
    if (!isKind(p[3])) {
        return std::unexpected(PacketError::UnknownKind{p[3]});
    }
    return CommonHeader{static_cast<PacketKind>(p[3]), le::load<std::uint32_t>(p + 4),
                        le::load<std::uint64_t>(p + 8)};
}

std::expected<TouchHeader, PacketError>
PacketCodec::decodeTouch(Bytes bytes, std::span<FingerSample> samples) noexcept {
    auto common = peekHeader(bytes);
    if (!common) {
        return std::unexpected(common.error());
    }
    if (common->kind != PacketKind::touch) {
        return std::unexpected(PacketError::KindMismatch{PacketKind::touch, common->kind});
    }
    if (bytes.size() < kTouchHeader) {
        return std::unexpected(
            PacketError::Truncated{signedSize(kTouchHeader), signedSize(bytes.size())});
    }
    const std::uint8_t* p = bytes.data();
    const std::uint8_t fingerCount = p[20];
    if (fingerCount > PacketFormat::maximumFingers) {
        return std::unexpected(PacketError::TooManyFingers{fingerCount});
    }
    if (samples.size() < fingerCount) {
        return std::unexpected(
            PacketError::BufferTooSmall{fingerCount, signedSize(samples.size())});
    }
    const std::size_t needed = kTouchHeader + kRecord * fingerCount;
    if (bytes.size() < needed) {
        return std::unexpected(
            PacketError::Truncated{signedSize(needed), signedSize(bytes.size())});
    }
    for (std::size_t i = 0; i < fingerCount; ++i) {
        const std::uint8_t* record = p + kTouchHeader + kRecord * i;
        if (!isPhase(record[1])) {
            return std::unexpected(PacketError::UnknownPhase{record[1]});
        }
        samples[i] = FingerSample{record[0], static_cast<FingerPhase>(record[1]),
                                  le::load<float>(record + 2), le::load<float>(record + 6),
                                  le::load<float>(record + 10)};
    }
    const std::uint8_t clickCount = p[22];
    return TouchHeader{common->sequence,        common->deviceTimeNanos,
                       le::load<float>(p + 16), fingerCount,
                       TouchFlags{p[21]},       clickCount == 0 ? std::uint8_t{1} : clickCount};
}

std::expected<std::size_t, PacketError>
PacketCodec::encodeTouch(const TouchHeader& header, std::span<const FingerSample> samples,
                         MutableBytes buffer) noexcept {
    if (samples.size() > static_cast<std::size_t>(PacketFormat::maximumFingers)) {
        return std::unexpected(PacketError::TooManyFingers{signedSize(samples.size())});
    }
    const std::size_t needed = kTouchHeader + kRecord * samples.size();
    if (buffer.size() < needed) {
        return std::unexpected(
            PacketError::BufferTooSmall{signedSize(needed), signedSize(buffer.size())});
    }
    std::uint8_t* out = buffer.data();
    writeCommonHeader(out, PacketKind::touch, header.sequence, header.deviceTimeNanos);
    le::store<float>(out + 16, header.accelerationZ);
    out[20] = static_cast<std::uint8_t>(samples.size());
    out[21] = header.flags.rawValue;
    out[22] = header.clickCount;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        std::uint8_t* record = out + kTouchHeader + kRecord * i;
        const FingerSample& s = samples[i];
        record[0] = s.id;
        record[1] = static_cast<std::uint8_t>(s.phase);
        le::store<float>(record + 2, s.x);
        le::store<float>(record + 6, s.y);
        le::store<float>(record + 10, s.radius);
    }
    return needed;
}

std::expected<ControlPacket, PacketError> PacketCodec::decodeControl(Bytes bytes) noexcept {
    auto common = peekHeader(bytes);
    if (!common) {
        return std::unexpected(common.error());
    }
    if (common->kind != PacketKind::ping && common->kind != PacketKind::pong) {
        return std::unexpected(PacketError::KindMismatch{PacketKind::ping, common->kind});
    }
    if (bytes.size() < kControl) {
        return std::unexpected(
            PacketError::Truncated{signedSize(kControl), signedSize(bytes.size())});
    }
    return ControlPacket{common->kind, common->sequence, common->deviceTimeNanos,
                         le::load<std::uint64_t>(bytes.data() + 16)};
}

std::expected<std::size_t, PacketError> PacketCodec::encodeControl(const ControlPacket& packet,
                                                                   MutableBytes buffer) noexcept {
    if (buffer.size() < kControl) {
        return std::unexpected(
            PacketError::BufferTooSmall{signedSize(kControl), signedSize(buffer.size())});
    }
    writeCommonHeader(buffer.data(), packet.kind, packet.sequence, packet.deviceTimeNanos);
    le::store<std::uint64_t>(buffer.data() + 16, packet.echoTimeNanos);
    return kControl;
}

std::expected<std::size_t, PacketError> PacketCodec::appendTrailer(std::uint32_t pairingID,
                                                                   std::uint64_t tag,
                                                                   MutableBytes buffer,
                                                                   std::size_t offset) noexcept {
    // Written so that a huge offset cannot wrap around the size check.
    if (offset > buffer.size() || buffer.size() - offset < kTrailer) {
        const std::size_t needed = offset > SIZE_MAX - kTrailer ? SIZE_MAX : offset + kTrailer;
        return std::unexpected(PacketError::BufferTooSmall{
            needed > static_cast<std::size_t>(INT64_MAX) ? INT64_MAX : signedSize(needed),
            signedSize(buffer.size())});
    }
    le::store<std::uint32_t>(buffer.data() + offset, pairingID);
    le::store<std::uint64_t>(buffer.data() + offset + 4, tag);
    return offset + kTrailer;
}

std::expected<Trailer, PacketError> PacketCodec::readTrailer(Bytes bytes) noexcept {
    if (bytes.size() < kTrailer + 1) {
        return std::unexpected(
            PacketError::Truncated{signedSize(kTrailer + 1), signedSize(bytes.size())});
    }
    const std::size_t body = bytes.size() - kTrailer;
    return Trailer{le::load<std::uint32_t>(bytes.data() + body),
                   le::load<std::uint64_t>(bytes.data() + body + 4), body};
}

const char* describe(PacketKind kind) noexcept {
    switch (kind) {
    case PacketKind::touch:
        return "touch";
    case PacketKind::ping:
        return "ping";
    case PacketKind::pong:
        return "pong";
    case PacketKind::bye:
        return "bye";
    case PacketKind::unpaired:
        return "unpaired";
    }
    return "?";
}

std::string describe(const PacketError& error) {
    char text[96];
    std::visit(
        [&](const auto& e) {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, PacketError::BufferTooSmall>) {
                std::snprintf(text, sizeof text, "bufferTooSmall(needed: %lld, available: %lld)",
                              static_cast<long long>(e.needed),
                              static_cast<long long>(e.available));
            } else if constexpr (std::is_same_v<E, PacketError::Truncated>) {
                std::snprintf(text, sizeof text, "truncated(expected: %lld, actual: %lld)",
                              static_cast<long long>(e.expected), static_cast<long long>(e.actual));
            } else if constexpr (std::is_same_v<E, PacketError::BadMagic>) {
                std::snprintf(text, sizeof text, "badMagic(0x%04x)", unsigned{e.value});
            } else if constexpr (std::is_same_v<E, PacketError::UnsupportedVersion>) {
                std::snprintf(text, sizeof text, "unsupportedVersion(%u)", unsigned{e.version});
            } else if constexpr (std::is_same_v<E, PacketError::UnknownKind>) {
                std::snprintf(text, sizeof text, "unknownKind(%u)", unsigned{e.raw});
            } else if constexpr (std::is_same_v<E, PacketError::UnknownPhase>) {
                std::snprintf(text, sizeof text, "unknownPhase(%u)", unsigned{e.raw});
            } else if constexpr (std::is_same_v<E, PacketError::TooManyFingers>) {
                std::snprintf(text, sizeof text, "tooManyFingers(%lld)",
                              static_cast<long long>(e.count));
            } else {
                std::snprintf(text, sizeof text, "kindMismatch(expected: %s, actual: %s)",
                              describe(e.expected), describe(e.actual));
            }
        },
        error.value);
    return text;
}

} // namespace ravnix
