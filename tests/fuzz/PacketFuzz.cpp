// Every decoding operation of the touch-link format over arbitrary bytes. Besides not
// crashing, a touch body that decodes must encode back to the same bytes.

#include "packet/PacketCodec.hpp"
#include "security/PacketAuthenticator.hpp"

#include <array>
#include <cstdlib>
#include <cstring>

using namespace ravnix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);

    (void)PacketCodec::peekHeader(bytes);
    (void)PacketCodec::decodeControl(bytes);

    // The first byte picks the caller's capacity so the capacity check is reached too.
    std::array<FingerSample, 6> samples{};
    const std::size_t capacity = size > 0 ? data[0] % 7 : 5;
    auto header = PacketCodec::decodeTouch(bytes, std::span(samples).first(capacity));
    if (header) {
        std::array<std::uint8_t, PacketFormat::touchPacketSize(5)> again{};
        auto written =
            PacketCodec::encodeTouch(*header, std::span(samples).first(header->fingerCount), again);
        if (!written || *written > size) {
            std::abort();
        }
        std::array<std::uint8_t, PacketFormat::touchPacketSize(5)> original{};
        std::memcpy(original.data(), data, *written);
        if (original[22] == 0) {
            original[22] = 1; // a click count of 0 reads as 1
        }
        if (std::memcmp(original.data(), again.data(), *written) != 0) {
            std::abort();
        }
    }

    if (auto trailer = PacketCodec::readTrailer(bytes)) {
        if (trailer->bodyLength + PacketFormat::trailerSize != size) {
            std::abort();
        }
        static const std::array<std::uint8_t, 32> key{7};
        const PacketAuthenticator auth(key, trailer->pairingID);
        (void)auth.isValid(trailer->tag, bytes.first(trailer->bodyLength));
    }
    return 0;
}
