#include "pairing/PairingFraming.hpp"

#include "pairing/Base64.hpp"

#include <cstring>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

namespace ravnix {
void PrintTo(const PairingWireError& error, std::ostream* os) {
    *os << describe(error);
}
} // namespace ravnix

namespace ravnix {
namespace {

using Bytes = std::vector<std::uint8_t>;
using nlohmann::json;

Bytes keyBytes() {
    Bytes key(32);
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<std::uint8_t>(i);
    }
    return key;
}
constexpr const char* kKeyBase64 = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";

PairingHello hello() {
    return {"phone-1", "Deniz'in telefonu", "iPhone15,2", keyBytes()};
}
PairingOffer offer() {
    return {"mac-9", "Masaüstü", keyBytes(), {"192.168.1.20", "10.0.0.4"}};
}

// A frame assembled by hand, so the decoder is not checked against the encoder alone.
Bytes frame(const std::string& body) {
    const auto n = static_cast<std::uint32_t>(body.size());
    Bytes bytes(4 + body.size());
    bytes[0] = static_cast<std::uint8_t>(n >> 24);
    bytes[1] = static_cast<std::uint8_t>(n >> 16);
    bytes[2] = static_cast<std::uint8_t>(n >> 8);
    bytes[3] = static_cast<std::uint8_t>(n);
    std::copy(body.begin(), body.end(), bytes.begin() + 4);
    return bytes;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::expected<PairingMessage, PairingWireError> readBody(const std::string& body) {
    return PairingFraming::decodeBody(
        {reinterpret_cast<const std::uint8_t*>(body.data()), body.size()});
}

json bodyOf(const PairingMessage& message) {
    return json::parse(PairingFraming::encodeBody(message));
}

const PairingWireError kDecodingFailed = PairingWireError::DecodingFailed{};

TEST(PairingJSON, WritesOneCaseMemberWrappingTheBodyInUnderscoreZero) {
    const json h = bodyOf(hello());
    ASSERT_EQ(h.size(), 1u);
    ASSERT_EQ(h.at("hello").size(), 1u);
    EXPECT_EQ(h["hello"]["_0"], (json{{"deviceID", "phone-1"},
                                      {"displayName", "Deniz'in telefonu"},
                                      {"model", "iPhone15,2"},
                                      {"publicKey", kKeyBase64}}));

    const json o = bodyOf(offer());
    EXPECT_EQ(o.at("offer").at("_0").at("addresses"), (json{"192.168.1.20", "10.0.0.4"}));
    EXPECT_EQ(o["offer"]["_0"]["macName"], "Masaüstü");

    const json r = bodyOf(makeResult({true, 7}));
    EXPECT_TRUE(r.at("result").at("_0").at("pairingID").is_number_integer());
    EXPECT_EQ(r["result"]["_0"]["pairingID"], 7);
    EXPECT_EQ(r["result"]["_0"]["accepted"], true);

    // An absent number is left out rather than written as null.
    const json d = bodyOf(makePhoneDecision({false, std::nullopt}));
    EXPECT_EQ(d.at("phoneDecision").at("_0"), (json{{"accepted", false}}));
}

TEST(PairingJSON, EveryCaseSurvivesTheFrameRoundTrip) {
    const PairingMessage messages[] = {hello(), offer(), makePhoneDecision({true, std::nullopt}),
                                       makeResult({true, 0xFFFFFFFFu}), PairingOffer{}};
    for (const PairingMessage& message : messages) {
        auto bytes = PairingFraming::encode(message);
        ASSERT_TRUE(bytes);
        auto decoded = PairingFraming::decode(*bytes);
        ASSERT_TRUE(decoded) << caseName(message);
        ASSERT_EQ(decoded->size(), 1u);
        // Equality includes the variant index, so result and phoneDecision stay apart.
        EXPECT_EQ(decoded->front(), message) << caseName(message);
        EXPECT_TRUE(bytes->empty());
    }
}

TEST(PairingJSON, ReadsWhatAnotherWriterMayProduce) {
    // Escaped solidus inside Base64, \u escapes, reordered and unknown members at every
    // level, whitespace, a null optional.
    auto h = readBody(R"( { "x": [1, {"y": null}],
        "hello" : { "extra": true, "_0": { "publicKey": "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=",
        "model": "\u0041\/B", "displayName": "D\u00e9niz \ud83d\ude00", "deviceID": "p\"1", "new": {} } } } )");
    ASSERT_TRUE(h);
    EXPECT_EQ(std::get<PairingMessageCase::hello>(*h),
              (PairingHello{"p\"1", "D\xC3\xA9niz \xF0\x9F\x98\x80", "A/B", keyBytes()}));

    auto escapedKey =
        readBody(R"({"offer":{"_0":{"macIdentifier":"m","macName":"n","addresses":[],)"
                 R"("publicKey":"+\/+\/"}}})");
    ASSERT_TRUE(escapedKey);
    EXPECT_EQ(std::get<PairingMessageCase::offer>(*escapedKey).publicKey,
              (Bytes{0xFB, 0xFF, 0xBF}));

    auto nullID = readBody(R"({"result":{"_0":{"pairingID":null,"accepted":true}}})");
    ASSERT_TRUE(nullID);
    EXPECT_EQ(*nullID, makeResult({true, std::nullopt}));
    EXPECT_EQ(
        readBody(R"({"phoneDecision":{"_0":{"accepted":false,"pairingID":4294967295}}})").value(),
        makePhoneDecision({false, 0xFFFFFFFFu}));
}

TEST(PairingJSON, RefusesBodiesThatDoNotHoldExactlyOneWellFormedMessage) {
    const char* bad[] = {
        "",
        "[]",
        R"({"result":{"_0":{"accepted":true}}} x)",
        R"({"goodbye":{"_0":{"accepted":true}}})",
        R"({"result":{"_0":{"accepted":true}},"phoneDecision":{"_0":{"accepted":true}}})",
        R"({"result":{"accepted":true}})",
        R"({"result":{"_0":[true]}})",
        R"({"result":{"_0":{"accepted":null}}})",
        R"({"result":{"_0":{"accepted":true,"pairingID":4294967296}}})",
        R"({"result":{"_0":{"accepted":true,"pairingID":-1}}})",
        R"({"result":{"_0":{"accepted":true,"pairingID":7.5}}})",
        R"({"hello":{"_0":{"deviceID":"a","displayName":"b","publicKey":""}}})",
        R"({"hello":{"_0":{"deviceID":1,"displayName":"b","model":"c","publicKey":""}}})",
        R"({"hello":{"_0":{"deviceID":"a","displayName":"b","model":"c","publicKey":"Zg="}}})",
        R"({"offer":{"_0":{"macIdentifier":"m","macName":"n","publicKey":"","addresses":["a",1]}}})",
        R"({"hello":{"_0":{"deviceID":"\ud800","displayName":"b","model":"c","publicKey":""}}})",
        "{\"hello\":{\"_0\":{\"deviceID\":\"\xC3\",\"displayName\":\"b\",\"model\":\"c\","
        "\"publicKey\":\"\"}}}",
    };
    for (const char* body : bad) {
        auto result = readBody(body);
        EXPECT_FALSE(result) << body;
        if (!result) {
            EXPECT_EQ(result.error(), kDecodingFailed) << body;
        }
    }
}

TEST(PairingJSON, DeepNestingWithinAFrameNeitherCrashesNorFails) {
    // An ignored member nested as deep as a 64 KiB frame allows; the parser and the tree's
    // destruction must not recurse per level.
    const std::size_t depth = 32000;
    std::string body = R"({"result":{"_0":{"accepted":true}},"x":)" + std::string(depth, '[') +
                       std::string(depth, ']') + "}";
    ASSERT_LE(body.size(), PairingFraming::maximumMessageLength);
    Bytes buffer = frame(body);
    auto decoded = PairingFraming::decode(buffer);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->at(0), makeResult({true, std::nullopt}));

    buffer = frame(std::string(PairingFraming::maximumMessageLength, '['));
    EXPECT_EQ(PairingFraming::decode(buffer).error(), kDecodingFailed);
}

TEST(PairingJSON, TextThatIsNotUTF8IsReplacedRatherThanBreakingTheFrame) {
    PairingHello bad = hello();
    bad.displayName = "ab\xFF";
    auto bytes = PairingFraming::encode(bad);
    ASSERT_TRUE(bytes);
    auto decoded = PairingFraming::decode(*bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(std::get<PairingMessageCase::hello>(decoded->at(0)).displayName, "ab\xEF\xBF\xBD");
}

TEST(PairingBase64, MatchesTheStandardVectorsBothWays) {
    // RFC 4648 section 10, plus both characters that differ from the URL-safe alphabet.
    const char* plain[] = {"", "f", "fo", "foo", "foob", "fooba", "foobar", "\xFB\xFF\xBF"};
    const char* encoded[] = {"",         "Zg==",     "Zm8=",     "Zm9v",
                             "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy", "+/+/"};
    for (std::size_t i = 0; i < std::size(plain); ++i) {
        const Bytes bytes(plain[i], plain[i] + std::strlen(plain[i]));
        const std::string text = encoded[i];
        EXPECT_EQ(Base64::encode(bytes), text);
        EXPECT_EQ(Base64::decode(text), bytes) << text;
    }
    Bytes all(256);
    for (std::size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<std::uint8_t>(255 - i);
    }
    for (std::size_t n = 0; n <= all.size(); n += 37) {
        const Bytes part(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_EQ(Base64::decode(Base64::encode(part)), part) << n;
    }
}

TEST(PairingBase64, RefusesEveryNonCanonicalText) {
    const char* bad[] = {"Zg",       "Zg=",       "Zm9vY",     "Zg===",         "====",
                         "Z===",     "=Zg=",      "Zg==Zg==",  "Zh==",          "Zm9=",
                         "Zm9vYh==", "Zm9-",      "Zm9_",      "Zm9v\nYg==",    "Zm9v\r\n",
                         " Zm9v",    "Zm9v Yg==", "Zm9v\tYg=", "Zm9v\xC3\xA9=="};
    for (const char* text : bad) {
        EXPECT_FALSE(Base64::decode(text)) << text;
    }
    EXPECT_FALSE(Base64::decode(std::string_view("Zm\0v", 4)));
}

TEST(PairingFraming, DeliversFramesAcrossAnyChunkBoundaries) {
    const Bytes first = PairingFraming::encode(hello()).value();
    const Bytes second = PairingFraming::encode(makeResult({true, 7})).value();
    EXPECT_EQ(first, frame(PairingFraming::encodeBody(hello()))); // big-endian length, then JSON

    // Both in one chunk.
    Bytes buffer = first + second;
    auto both = PairingFraming::decode(buffer);
    ASSERT_TRUE(both);
    EXPECT_EQ(*both, (std::vector<PairingMessage>{hello(), makeResult({true, 7})}));
    EXPECT_TRUE(buffer.empty());

    // Split after two header bytes, then inside the JSON, then the rest with the next frame.
    const std::size_t cuts[] = {2, first.size() / 2, first.size() + second.size()};
    const Bytes stream = first + second;
    buffer.clear();
    std::vector<PairingMessage> seen;
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        buffer.insert(buffer.end(), stream.begin() + static_cast<std::ptrdiff_t>(from),
                      stream.begin() + static_cast<std::ptrdiff_t>(cut));
        auto got = PairingFraming::decode(buffer).value();
        if (cut < first.size()) {
            EXPECT_TRUE(got.empty()) << cut;
            EXPECT_EQ(buffer.size(), cut); // the partial frame waits untouched
        }
        seen.insert(seen.end(), got.begin(), got.end());
        from = cut;
    }
    EXPECT_EQ(seen, (std::vector<PairingMessage>{hello(), makeResult({true, 7})}));
    EXPECT_TRUE(buffer.empty());
}

TEST(PairingFraming, LengthLimitIsInclusiveOnBothSides) {
    // Receiving: a body of exactly 65536 bytes is read; 65537 fails on the header alone.
    std::string body = R"({"result":{"_0":{"accepted":false}},"pad":")";
    body += std::string(PairingFraming::maximumMessageLength - body.size() - 2, 'p') + "\"}";
    ASSERT_EQ(body.size(), 65536u);
    Bytes buffer = frame(body);
    auto decoded = PairingFraming::decode(buffer);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, std::vector<PairingMessage>{makeResult({false, std::nullopt})});

    buffer = {0x00, 0x01, 0x00, 0x01};
    auto tooLarge = PairingFraming::decode(buffer);
    ASSERT_FALSE(tooLarge);
    EXPECT_EQ(tooLarge.error(), PairingWireError(PairingWireError::MessageTooLarge{65537}));
    EXPECT_EQ(describe(tooLarge.error()), "messageTooLarge(65537)");
    EXPECT_EQ(buffer.size(), 4u);
    buffer = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(PairingFraming::decode(buffer).error(),
              PairingWireError(PairingWireError::MessageTooLarge{4294967295}));

    // Sending: pad a name until the JSON is exactly 65536, then one byte more.
    PairingHello big = hello();
    big.displayName.clear();
    const std::size_t bare = PairingFraming::encodeBody(big).size();
    big.displayName.assign(PairingFraming::maximumMessageLength - bare, 'n');
    auto atLimit = PairingFraming::encode(big);
    ASSERT_TRUE(atLimit);
    EXPECT_EQ(atLimit->size(), 4u + 65536u);
    EXPECT_EQ((Bytes{atLimit->begin(), atLimit->begin() + 4}), (Bytes{0x00, 0x01, 0x00, 0x00}));
    big.displayName.push_back('n');
    EXPECT_EQ(PairingFraming::encode(big).error(),
              PairingWireError(PairingWireError::MessageTooLarge{65537}));
}

TEST(PairingFraming, ABadFrameStaysInTheBufferBehindTheConsumedOnes) {
    const Bytes good = PairingFraming::encode(makePhoneDecision({true, std::nullopt})).value();
    const Bytes bad = frame(R"({"result":{"_0":{"accepted":"yes"}}})");
    Bytes buffer = good + good + bad + good;
    auto result = PairingFraming::decode(buffer);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), kDecodingFailed);
    EXPECT_EQ(describe(result.error()), "decodingFailed");
    EXPECT_EQ(buffer, bad + good);

    buffer = Bytes{0, 0, 0, 0} + good; // an empty body is not a message
    EXPECT_EQ(PairingFraming::decode(buffer).error(), kDecodingFailed);
    EXPECT_EQ(buffer.size(), 4 + good.size());
}

} // namespace
} // namespace ravnix
