#pragma once
// Pairing messages on the TCP stream: each frame is a 4-byte big-endian body length
// followed by that many bytes of JSON holding one message. Both ends append every chunk
// they receive to one buffer and call decode() on it. Stateless; any thread.

#include "pairing/PairingMessages.hpp"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace ravnix {

struct PairingFraming {
    PairingFraming() = delete;

    // Largest JSON body a frame may carry, inclusive.
    static constexpr std::size_t maximumMessageLength = 0x10000;
    static constexpr std::size_t headerLength = 4;

    // Length header plus JSON, to be sent as one write. Fails with messageTooLarge(JSON
    // length) when the body exceeds maximumMessageLength. Text that is not valid UTF-8 is
    // sent with U+FFFD in place of the bad bytes, because the peer cannot read anything else.
    static std::expected<std::vector<std::uint8_t>, PairingWireError>
    encode(const PairingMessage& message);

    // Takes every complete frame off the front of `buffer` and returns their messages in
    // stream order; a partial frame stays for the next call. A length field above the
    // maximum fails with messageTooLarge before its body arrives; an unreadable body fails
    // with decodingFailed. On failure the frames before the bad one are removed from the
    // buffer but their messages are not returned, and the bad frame and everything after it
    // stay: the connection is beyond repair, callers drop it.
    static std::expected<std::vector<PairingMessage>, PairingWireError>
    decode(std::vector<std::uint8_t>& buffer);

    // The JSON body alone, compact UTF-8: {"<case>":{"_0":{<fields>}}}.
    static std::string encodeBody(const PairingMessage& message);
    // Reads one body; unknown members are ignored at every level, a null optional is absent.
    static std::expected<PairingMessage, PairingWireError>
    decodeBody(std::span<const std::uint8_t> body);
};

} // namespace ravnix
