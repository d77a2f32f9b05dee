#pragma once
// Wire vocabulary of the touch link: packet kinds, finger phases, the per-frame flags,
// the decoded records and the format's constants. Plain values only; the codec that
// reads and writes them lives in PacketCodec.hpp.

#include <cstdint>
#include <string>
#include <variant>

namespace ravnix {

enum class PacketKind : std::uint8_t { touch = 1, ping = 2, pong = 3, bye = 4, unpaired = 5 };

enum class FingerPhase : std::uint8_t {
    began = 0,
    moved = 1,
    stationary = 2,
    ended = 3,
    cancelled = 4,
};

// Events of the frame that carries them, not held states. Bit 0x20 has no name but is
// carried through unchanged.
struct TouchFlags {
    std::uint8_t rawValue = 0;

    static const TouchFlags primaryDown;
    static const TouchFlags primaryUp;
    static const TouchFlags secondaryDown;
    static const TouchFlags secondaryUp;
    static const TouchFlags lookUp;
    static const TouchFlags showDesktop;

    constexpr bool contains(TouchFlags other) const noexcept {
        return (rawValue & other.rawValue) == other.rawValue;
    }
    constexpr bool isEmpty() const noexcept { return rawValue == 0; }
    constexpr TouchFlags operator|(TouchFlags other) const noexcept {
        return TouchFlags{static_cast<std::uint8_t>(rawValue | other.rawValue)};
    }
    constexpr TouchFlags& operator|=(TouchFlags other) noexcept {
        rawValue = static_cast<std::uint8_t>(rawValue | other.rawValue);
        return *this;
    }
    bool operator==(const TouchFlags&) const = default;
};

inline constexpr TouchFlags TouchFlags::primaryDown{0x01};
inline constexpr TouchFlags TouchFlags::primaryUp{0x02};
inline constexpr TouchFlags TouchFlags::secondaryDown{0x04};
inline constexpr TouchFlags TouchFlags::secondaryUp{0x08};
inline constexpr TouchFlags TouchFlags::lookUp{0x10};
inline constexpr TouchFlags TouchFlags::showDesktop{0x40};

struct FingerSample {
    std::uint8_t id = 0;
    FingerPhase phase = FingerPhase::began;
    float x = 0;
    float y = 0;
    float radius = 0;
    bool operator==(const FingerSample&) const = default;
};

struct TouchHeader {
    std::uint32_t sequence = 0;
    std::uint64_t deviceTimeNanos = 0;
    float accelerationZ = 0;
    std::uint8_t fingerCount = 0;
    TouchFlags flags;
    std::uint8_t clickCount = 0;
    bool operator==(const TouchHeader&) const = default;
};

struct ControlPacket {
    PacketKind kind = PacketKind::ping;
    std::uint32_t sequence = 0;
    std::uint64_t deviceTimeNanos = 0;
    std::uint64_t echoTimeNanos = 0;
    bool operator==(const ControlPacket&) const = default;
};

struct PacketFormat {
    PacketFormat() = delete;
    static constexpr std::uint16_t magic = 0x5258;
    static constexpr std::uint8_t version = 3;
    static constexpr int maximumFingers = 5;
    static constexpr int maximumDatagramSize = 112;
    static constexpr int headerSize = 16;
    static constexpr int touchHeaderSize = 23;
    static constexpr int fingerRecordSize = 14;
    static constexpr int trailerSize = 12;
    static constexpr int controlPacketSize = 24;
    static constexpr int touchPacketSize(int fingers) noexcept {
        return touchHeaderSize + fingerRecordSize * fingers;
    }
    static constexpr int authenticatedTouchPacketSize(int fingers) noexcept {
        return touchPacketSize(fingers) + trailerSize;
    }
};

// Failures of the codec. Each case keeps the values it was raised with; two errors are
// equal when case and values are equal. No message text: callers count or drop.
struct PacketError {
    struct BufferTooSmall {
        std::int64_t needed;
        std::int64_t available;
        bool operator==(const BufferTooSmall&) const = default;
    };
    struct Truncated {
        std::int64_t expected;
        std::int64_t actual;
        bool operator==(const Truncated&) const = default;
    };
    struct BadMagic {
        std::uint16_t value;
        bool operator==(const BadMagic&) const = default;
    };
    struct UnsupportedVersion {
        std::uint8_t version;
        bool operator==(const UnsupportedVersion&) const = default;
    };
    struct UnknownKind {
        std::uint8_t raw;
        bool operator==(const UnknownKind&) const = default;
    };
    struct UnknownPhase {
        std::uint8_t raw;
        bool operator==(const UnknownPhase&) const = default;
    };
    struct TooManyFingers {
        std::int64_t count;
        bool operator==(const TooManyFingers&) const = default;
    };
    struct KindMismatch {
        PacketKind expected;
        PacketKind actual;
        bool operator==(const KindMismatch&) const = default;
    };

    using Case = std::variant<BufferTooSmall, Truncated, BadMagic, UnsupportedVersion, UnknownKind,
                              UnknownPhase, TooManyFingers, KindMismatch>;
    Case value;

    template <typename T>
    requires std::is_constructible_v<Case, T>
    constexpr PacketError(T c) : value(c) {} // NOLINT(google-explicit-constructor)

    template <typename T> constexpr bool is() const noexcept {
        return std::holds_alternative<T>(value);
    }
    template <typename T> constexpr const T* as() const noexcept { return std::get_if<T>(&value); }

    bool operator==(const PacketError&) const = default;
};

// Debugging aid (tests, fuzz reports): "truncated(expected: 23, actual: 16)".
std::string describe(const PacketError& error);
const char* describe(PacketKind kind) noexcept;

} // namespace ravnix
