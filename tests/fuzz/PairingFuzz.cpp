// The pairing stream decoder over arbitrary bytes, fed in chunks whose size the first input
// byte picks. Besides not crashing: feeding in chunks must give the same messages, error
// and leftover as feeding everything at once; whatever stays behind is a partial frame;
// and every decoded message must encode and decode back to itself. The same bytes are also
// read as one bare JSON body, so the message reader is reached without a matching length
// header, and a body that reads must read the same once framed.

#include "pairing/PairingFraming.hpp"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <vector>

using namespace ravnix;

namespace {

void checkRoundTrip(const PairingMessage& message) {
    auto frame = PairingFraming::encode(message);
    if (!frame) {
        std::abort(); // re-encoding never grows past what the peer could send
    }
    auto again = PairingFraming::decode(*frame);
    if (!again || again->size() != 1 || again->front() != message || !frame->empty()) {
        std::abort();
    }
}

// After a successful decode only an incomplete frame may remain.
void checkLeftover(const std::vector<std::uint8_t>& buffer) {
    if (buffer.size() < PairingFraming::headerLength) {
        return;
    }
    const std::size_t length = (std::size_t{buffer[0]} << 24) | (std::size_t{buffer[1]} << 16) |
                               (std::size_t{buffer[2]} << 8) | std::size_t{buffer[3]};
    if (length > PairingFraming::maximumMessageLength ||
        buffer.size() >= PairingFraming::headerLength + length) {
        std::abort();
    }
}

// The bytes as one body: whatever reads must survive encodeBody and framing unchanged.
void checkBody(const std::vector<std::uint8_t>& body) {
    auto message = PairingFraming::decodeBody(body);
    if (!message) {
        if (!message.error().is<PairingWireError::DecodingFailed>()) {
            std::abort(); // a body alone can only be unreadable
        }
        return;
    }
    const std::string text = PairingFraming::encodeBody(*message);
    auto again = PairingFraming::decodeBody(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    if (!again || *again != *message) {
        std::abort();
    }
    if (body.size() > PairingFraming::maximumMessageLength) {
        return;
    }
    std::vector<std::uint8_t> frame{
        static_cast<std::uint8_t>(body.size() >> 24), static_cast<std::uint8_t>(body.size() >> 16),
        static_cast<std::uint8_t>(body.size() >> 8), static_cast<std::uint8_t>(body.size())};
    frame.insert(frame.end(), body.begin(), body.end());
    auto framed = PairingFraming::decode(frame);
    if (!framed || framed->size() != 1 || framed->front() != *message || !frame.empty()) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t chunk = data[0] == 0 ? size : data[0];
    const std::vector<std::uint8_t> stream(data + 1, data + size);
    checkBody(stream);

    std::vector<std::uint8_t> buffer;
    std::vector<PairingMessage> chunked;
    std::optional<PairingWireError> chunkedError;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        const std::size_t n = std::min(chunk, stream.size() - at);
        buffer.insert(buffer.end(), stream.begin() + static_cast<std::ptrdiff_t>(at),
                      stream.begin() + static_cast<std::ptrdiff_t>(at + n));
        auto messages = PairingFraming::decode(buffer);
        if (!messages) {
            chunkedError = messages.error();
            break;
        }
        checkLeftover(buffer);
        for (const PairingMessage& message : *messages) {
            checkRoundTrip(message);
        }
        chunked.insert(chunked.end(), messages->begin(), messages->end());
    }

    std::vector<std::uint8_t> whole = stream;
    auto all = PairingFraming::decode(whole);
    if (all.has_value() == chunkedError.has_value()) {
        std::abort();
    }
    if (all) {
        if (*all != chunked || whole != buffer) {
            std::abort();
        }
    } else if (all.error() != *chunkedError) {
        std::abort();
    }
    return 0;
}
