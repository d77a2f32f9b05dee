#pragma once
// The four messages of the pairing conversation between the phone and the desktop, the
// errors of their framing and the service names both ends share. Plain values only; the
// JSON form and the length-prefixed frames live in PairingFraming.hpp.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace ravnix {

// Phone → desktop, first message on a new connection.
struct PairingHello {
    std::string deviceID;
    std::string displayName;
    std::string model;
    std::vector<std::uint8_t> publicKey; // raw X25519, 32 bytes from a well-behaved peer
    bool operator==(const PairingHello&) const = default;
};

// Desktop → phone, the reply to a hello.
struct PairingOffer {
    std::string macIdentifier;
    std::string macName;
    std::vector<std::uint8_t> publicKey;
    std::vector<std::string> addresses;
    bool operator==(const PairingOffer&) const = default;
};

// Either user's verdict. Only an accepting result carries the new pairing's number.
struct PairingDecision {
    bool accepted = false;
    std::optional<std::uint32_t> pairingID;
    bool operator==(const PairingDecision&) const = default;
};

// The alternatives are in wire order; phoneDecision and result share a body type, so the
// case is the variant's index (see PairingMessageCase), never the held type.
using PairingMessage = std::variant<PairingHello, PairingOffer, PairingDecision, PairingDecision>;

struct PairingMessageCase {
    PairingMessageCase() = delete;
    static constexpr std::size_t hello = 0;
    static constexpr std::size_t offer = 1;
    static constexpr std::size_t phoneDecision = 2;
    static constexpr std::size_t result = 3;
};

inline PairingMessage makePhoneDecision(PairingDecision decision) {
    return PairingMessage(std::in_place_index<PairingMessageCase::phoneDecision>, decision);
}
inline PairingMessage makeResult(PairingDecision decision) {
    return PairingMessage(std::in_place_index<PairingMessageCase::result>, decision);
}

// "hello", "offer", "phoneDecision" or "result": the member name on the wire and the word
// used in log lines.
const char* caseName(const PairingMessage& message) noexcept;

struct PairingWire {
    PairingWire() = delete;
    static constexpr std::string_view serviceType = "_ravnix._tcp";
    static constexpr std::string_view macIdentifierKey = "mac"; // TXT key
    static constexpr std::string_view touchPortKey = "udp";     // TXT key, decimal port
};

// Failures of the framing. `truncated` exists for completeness of the vocabulary: an
// incomplete frame is not an error, it waits in the buffer for more bytes.
struct PairingWireError {
    struct MessageTooLarge {
        std::int64_t length;
        bool operator==(const MessageTooLarge&) const = default;
    };
    struct Truncated {
        bool operator==(const Truncated&) const = default;
    };
    struct DecodingFailed {
        bool operator==(const DecodingFailed&) const = default;
    };

    using Case = std::variant<MessageTooLarge, Truncated, DecodingFailed>;
    Case value;

    template <typename T>
    requires std::is_constructible_v<Case, T>
    constexpr PairingWireError(T c) : value(c) {} // NOLINT(google-explicit-constructor)

    template <typename T> constexpr bool is() const noexcept {
        return std::holds_alternative<T>(value);
    }
    template <typename T> constexpr const T* as() const noexcept { return std::get_if<T>(&value); }

    bool operator==(const PairingWireError&) const = default;
};

// The text used in log and error lines: "messageTooLarge(65537)", "truncated",
// "decodingFailed".
std::string describe(const PairingWireError& error);

} // namespace ravnix
