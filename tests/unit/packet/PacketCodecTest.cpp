#include "packet/PacketCodec.hpp"

#include "packet/ByteOrder.hpp"

#include <array>
#include <gtest/gtest.h>
#include <ostream>
#include <vector>

namespace ravnix {
void PrintTo(const PacketError& error, std::ostream* os) {
    *os << describe(error);
}
} // namespace ravnix

namespace ravnix {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes commonHeader(std::uint8_t kind, std::uint32_t sequence = 7, std::uint64_t time = 99) {
    Bytes b(16);
    b[0] = 0x58;
    b[1] = 0x52;
    b[2] = 3;
    b[3] = kind;
    le::store<std::uint32_t>(b.data() + 4, sequence);
    le::store<std::uint64_t>(b.data() + 8, time);
    return b;
}

// A touch body written byte by byte, independent of the encoder under test.
Bytes touchBody(std::uint8_t fingerCount, std::size_t records, std::uint8_t clickCount = 1) {
    Bytes b = commonHeader(1, 41, 123456789012345ULL);
    b.resize(23 + 14 * records);
    le::store<float>(b.data() + 16, -9.81f);
    b[20] = fingerCount;
    b[21] = 0x23; // primaryDown | primaryUp | the unnamed bit
    b[22] = clickCount;
    for (std::size_t i = 0; i < records; ++i) {
        std::uint8_t* r = b.data() + 23 + 14 * i;
        r[0] = static_cast<std::uint8_t>(10 + i);
        r[1] = static_cast<std::uint8_t>(i % 5);
        le::store<float>(r + 2, 0.25f * static_cast<float>(i));
        le::store<float>(r + 6, 0.5f + static_cast<float>(i));
        le::store<float>(r + 10, 7.5f);
    }
    return b;
}

std::expected<TouchHeader, PacketError> decode(const Bytes& bytes, std::size_t capacity = 5) {
    std::array<FingerSample, 8> samples{};
    return PacketCodec::decodeTouch(bytes, std::span(samples).first(capacity));
}

TEST(PacketCodecHeader, ChecksLengthMagicVersionKindInThatOrder) {
    EXPECT_EQ(PacketCodec::peekHeader({}).error(), PacketError(PacketError::Truncated{16, 0}));
    Bytes b = commonHeader(1);
    EXPECT_EQ(PacketCodec::peekHeader(std::span(b).first(15)).error(),
              PacketError(PacketError::Truncated{16, 15}));

    // Bad magic wins over a bad version and a bad kind.
    Bytes bad = b;
    std::swap(bad[0], bad[1]);
    bad[2] = 2;
    bad[3] = 0;
    EXPECT_EQ(PacketCodec::peekHeader(bad).error(), PacketError(PacketError::BadMagic{0x5852}));
    // Version is looked at before kind.
    bad = b;
    bad[2] = 2;
    bad[3] = 6;
    EXPECT_EQ(PacketCodec::peekHeader(bad).error(),
              PacketError(PacketError::UnsupportedVersion{2}));
    for (std::uint8_t kind : {0, 6, 255}) {
        bad = b;
        bad[3] = kind;
        EXPECT_EQ(PacketCodec::peekHeader(bad).error(),
                  PacketError(PacketError::UnknownKind{kind}));
    }
}

TEST(PacketCodecHeader, ReadsKindSequenceAndTimeAndIgnoresTheRest) {
    Bytes b = commonHeader(4, 0xA1B2C3D4u, 0x0102030405060708ULL);
    b.push_back(0xEE); // bytes beyond the header are not looked at
    auto header = PacketCodec::peekHeader(b);
    ASSERT_TRUE(header);
    EXPECT_EQ(*header, (CommonHeader{PacketKind::bye, 0xA1B2C3D4u, 0x0102030405060708ULL}));
}

TEST(PacketCodecTouch, DecodeFailuresInCheckOrder) {
    // A valid 16-byte touch header is still too short for a touch packet.
    EXPECT_EQ(decode(commonHeader(1)).error(), PacketError(PacketError::Truncated{23, 16}));
    EXPECT_EQ(decode(commonHeader(2)).error(),
              PacketError(PacketError::KindMismatch{PacketKind::touch, PacketKind::ping}));
    // Six fingers are refused even when six records are present.
    EXPECT_EQ(decode(touchBody(6, 6), 8).error(), PacketError(PacketError::TooManyFingers{6}));
    // Capacity is checked (in samples) before the records' length.
    EXPECT_EQ(decode(touchBody(3, 0), 2).error(), PacketError(PacketError::BufferTooSmall{3, 2}));
    EXPECT_EQ(decode(touchBody(3, 2)).error(), PacketError(PacketError::Truncated{65, 51}));

    Bytes b = touchBody(3, 3);
    b[23 + 14 + 1] = 5; // second record's phase
    b[23 + 28 + 1] = 9; // third record's phase: the first bad one is reported
    EXPECT_EQ(decode(b).error(), PacketError(PacketError::UnknownPhase{5}));
}

TEST(PacketCodecTouch, DecodesEveryFieldAndLiftsClickCountZero) {
    Bytes b = touchBody(3, 3, 0);
    b.push_back(0xAB); // trailing bytes are ignored
    std::array<FingerSample, 5> samples{};
    auto header = PacketCodec::decodeTouch(b, samples);
    ASSERT_TRUE(header) << describe(header.error());
    EXPECT_EQ(*header, (TouchHeader{41, 123456789012345ULL, -9.81f, 3, TouchFlags{0x23}, 1}));
    EXPECT_EQ(samples[0], (FingerSample{10, FingerPhase::began, 0.0f, 0.5f, 7.5f}));
    EXPECT_EQ(samples[2], (FingerSample{12, FingerPhase::stationary, 0.5f, 2.5f, 7.5f}));

    EXPECT_EQ(decode(touchBody(0, 0, 3))->clickCount, 3);
    EXPECT_EQ(decode(touchBody(0, 0), 0).value().fingerCount, 0);
}

TEST(PacketCodecTouch, EncodeWritesTheSampleCountAndLeavesClickCountAlone) {
    const std::array<FingerSample, 2> samples{
        FingerSample{1, FingerPhase::moved, 0.125f, -0.5f, 3.0f},
        FingerSample{255, FingerPhase::cancelled, 1e-7f, 3.4e38f, 0.0f}};
    const TouchHeader header{0xFFFFFFFFu, UINT64_MAX, 0.75f, 4, TouchFlags{0x7F}, 0};
    std::array<std::uint8_t, 93> buffer{};
    auto written = PacketCodec::encodeTouch(header, samples, buffer);
    ASSERT_TRUE(written);
    EXPECT_EQ(*written, 51u);
    EXPECT_EQ(buffer[20], 2); // not the header's 4
    EXPECT_EQ(buffer[22], 0); // no lifting on the way out

    // Back through the decoder, which the tests above hold to hand-written bytes.
    std::array<FingerSample, 5> decoded{};
    TouchHeader expected = header;
    expected.fingerCount = 2;
    expected.clickCount = 1;
    EXPECT_EQ(PacketCodec::decodeTouch(std::span(buffer).first(*written), decoded).value(),
              expected);
    EXPECT_EQ(decoded[0], samples[0]);
    EXPECT_EQ(decoded[1], samples[1]);
}

TEST(PacketCodecTouch, EncodeRefusesTooManySamplesAndShortBuffers) {
    std::array<FingerSample, 6> six{};
    std::array<std::uint8_t, 200> big{};
    EXPECT_EQ(PacketCodec::encodeTouch({}, six, big).error(),
              PacketError(PacketError::TooManyFingers{6}));
    std::array<std::uint8_t, 36> small{};
    EXPECT_EQ(PacketCodec::encodeTouch({}, std::span(six).first(1), small).error(),
              PacketError(PacketError::BufferTooSmall{37, 36}));
}

TEST(PacketCodecControl, EncodeDecodeAndKindRules) {
    std::array<std::uint8_t, 24> buffer{};
    const ControlPacket pong{PacketKind::pong, 17, 5'000'000'000ULL, 4'999'000'000ULL};
    ASSERT_EQ(PacketCodec::encodeControl(pong, buffer).value(), 24u);
    EXPECT_EQ(PacketCodec::decodeControl(buffer).value(), pong);

    const ControlPacket bye{PacketKind::bye, 0, 12, 0};
    ASSERT_TRUE(PacketCodec::encodeControl(bye, buffer));
    EXPECT_EQ(PacketCodec::decodeControl(buffer).error(),
              PacketError(PacketError::KindMismatch{PacketKind::ping, PacketKind::bye}));
    EXPECT_EQ(PacketCodec::peekHeader(buffer)->kind, PacketKind::bye);

    ASSERT_TRUE(PacketCodec::encodeControl({PacketKind::ping, 3, 4, 5}, buffer));
    EXPECT_EQ(PacketCodec::decodeControl(std::span(buffer).first(20)).error(),
              PacketError(PacketError::Truncated{24, 20}));

    std::array<std::uint8_t, 23> shortBuffer{};
    EXPECT_EQ(PacketCodec::encodeControl(pong, shortBuffer).error(),
              PacketError(PacketError::BufferTooSmall{24, 23}));
}

TEST(PacketCodecTrailer, LimitsAndRoundTrip) {
    std::array<std::uint8_t, 105> packet{};
    auto end = PacketCodec::appendTrailer(0xCAFEBABEu, 0x1122334455667788ULL, packet, 93);
    ASSERT_EQ(end.value(), 105u);
    EXPECT_EQ(packet[93], 0xBE); // pairing ID little-endian
    EXPECT_EQ(packet[97], 0x88); // tag little-endian
    EXPECT_EQ(PacketCodec::readTrailer(packet).value(),
              (Trailer{0xCAFEBABEu, 0x1122334455667788ULL, 93}));

    EXPECT_EQ(PacketCodec::readTrailer(std::span(packet).first(12)).error(),
              PacketError(PacketError::Truncated{13, 12}));
    EXPECT_EQ(PacketCodec::readTrailer(std::span(packet).first(13))->bodyLength, 1u);
    EXPECT_EQ(PacketCodec::appendTrailer(1, 2, packet, 94).error(),
              PacketError(PacketError::BufferTooSmall{106, 105}));
    // An offset past the end must not wrap the bounds check.
    EXPECT_FALSE(PacketCodec::appendTrailer(1, 2, packet, SIZE_MAX - 4));
}

} // namespace
} // namespace ravnix
