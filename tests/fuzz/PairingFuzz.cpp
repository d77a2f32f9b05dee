// The pairing stream decoder over arbitrary bytes, fed in chunks whose size the first input
// byte picks. Besides not crashing: feeding in chunks must give the same messages, error
// and leftover as feeding everything at once; whatever stays behind is a partial frame;
// and every decoded message must encode and decode back to itself.

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t chunk = data[0] == 0 ? size : data[0];
    const std::vector<std::uint8_t> stream(data + 1, data + size);

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
