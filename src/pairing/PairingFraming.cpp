#include "pairing/PairingFraming.hpp"

#include "pairing/Base64.hpp"

#include <array>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>

namespace ravnix {
namespace {

using nlohmann::json;

// Wire names of the cases, indexed like PairingMessage's alternatives.
constexpr std::array<const char*, 4> kCaseNames = {"hello", "offer", "phoneDecision", "result"};

json bytesJSON(const std::vector<std::uint8_t>& bytes) {
    return Base64::encode(bytes);
}

json bodyJSON(const PairingHello& hello) {
    json body = json::object();
    body["deviceID"] = hello.deviceID;
    body["displayName"] = hello.displayName;
    body["model"] = hello.model;
    body["publicKey"] = bytesJSON(hello.publicKey);
    return body;
}

json bodyJSON(const PairingOffer& offer) {
    json body = json::object();
    body["macIdentifier"] = offer.macIdentifier;
    body["macName"] = offer.macName;
    body["publicKey"] = bytesJSON(offer.publicKey);
    body["addresses"] = offer.addresses;
    return body;
}

json bodyJSON(const PairingDecision& decision) {
    json body = json::object();
    body["accepted"] = decision.accepted;
    if (decision.pairingID) { // an absent number is left out, never written as null
        body["pairingID"] = *decision.pairingID;
    }
    return body;
}

// Readers of one member of a body object. A missing member, null, or the wrong JSON type
// fails a required field; std::nullopt means failure.
std::optional<std::string> readString(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) {
        return std::nullopt;
    }
    return it->get_ref<const std::string&>();
}

std::optional<std::vector<std::uint8_t>> readBytes(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) {
        return std::nullopt;
    }
    return Base64::decode(it->get_ref<const std::string&>());
}

std::optional<std::vector<std::string>> readStrings(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_array()) {
        return std::nullopt;
    }
    std::vector<std::string> strings;
    strings.reserve(it->size());
    for (const json& element : *it) {
        if (!element.is_string()) {
            return std::nullopt;
        }
        strings.push_back(element.get_ref<const std::string&>());
    }
    return strings;
}

std::optional<bool> readBool(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_boolean()) {
        return std::nullopt;
    }
    return it->get<bool>();
}

// Reads an optional pairing number into `out`; false when the member is unacceptable. A
// missing member or null leaves `out` absent. Only integer tokens in 0...2^32-1 are numbers
// here ("-0" is 0).
bool readOptionalUInt32(const json& object, const char* key, std::optional<std::uint32_t>& out) {
    out.reset();
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return true;
    }
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
    if (it->is_number_unsigned()) {
        const auto value = it->get<std::uint64_t>();
        if (value <= kMax) {
            out = static_cast<std::uint32_t>(value);
            return true;
        }
    } else if (it->is_number_integer() && it->get<std::int64_t>() == 0) {
        out = 0u;
        return true;
    }
    return false;
}

std::optional<PairingMessage> readHello(const json& body) {
    auto deviceID = readString(body, "deviceID");
    auto displayName = readString(body, "displayName");
    auto model = readString(body, "model");
    auto publicKey = readBytes(body, "publicKey");
    if (!deviceID || !displayName || !model || !publicKey) {
        return std::nullopt;
    }
    return PairingMessage(PairingHello{std::move(*deviceID), std::move(*displayName),
                                       std::move(*model), std::move(*publicKey)});
}

std::optional<PairingMessage> readOffer(const json& body) {
    auto macIdentifier = readString(body, "macIdentifier");
    auto macName = readString(body, "macName");
    auto publicKey = readBytes(body, "publicKey");
    auto addresses = readStrings(body, "addresses");
    if (!macIdentifier || !macName || !publicKey || !addresses) {
        return std::nullopt;
    }
    return PairingMessage(PairingOffer{std::move(*macIdentifier), std::move(*macName),
                                       std::move(*publicKey), std::move(*addresses)});
}

std::optional<PairingDecision> readDecision(const json& body) {
    const auto accepted = readBool(body, "accepted");
    PairingDecision decision;
    if (!accepted || !readOptionalUInt32(body, "pairingID", decision.pairingID)) {
        return std::nullopt;
    }
    decision.accepted = *accepted;
    return decision;
}

std::optional<PairingMessage> readMessage(const json& root) {
    if (!root.is_object()) {
        return std::nullopt;
    }
    // Exactly one known case member; members with other names are ignored.
    std::size_t found = kCaseNames.size();
    for (std::size_t i = 0; i < kCaseNames.size(); ++i) {
        if (root.contains(kCaseNames[i])) {
            if (found != kCaseNames.size()) {
                return std::nullopt;
            }
            found = i;
        }
    }
    if (found == kCaseNames.size()) {
        return std::nullopt;
    }
    const json& wrapper = root.at(kCaseNames[found]);
    if (!wrapper.is_object()) {
        return std::nullopt;
    }
    const auto body = wrapper.find("_0");
    if (body == wrapper.end() || !body->is_object()) {
        return std::nullopt;
    }
    switch (found) {
    case PairingMessageCase::hello:
        return readHello(*body);
    case PairingMessageCase::offer:
        return readOffer(*body);
    case PairingMessageCase::phoneDecision:
        if (auto decision = readDecision(*body)) {
            return makePhoneDecision(*decision);
        }
        return std::nullopt;
    default:
        if (auto decision = readDecision(*body)) {
            return makeResult(*decision);
        }
        return std::nullopt;
    }
}

std::uint32_t loadBigEndian32(const std::uint8_t* p) noexcept {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

} // namespace

std::string PairingFraming::encodeBody(const PairingMessage& message) {
    json body = std::visit([](const auto& value) { return bodyJSON(value); }, message);
    json wrapper = json::object();
    wrapper["_0"] = std::move(body);
    json root = json::object();
    root[caseName(message)] = std::move(wrapper);
    // The replacing error handler keeps dump() from throwing on invalid UTF-8.
    return root.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::expected<PairingMessage, PairingWireError>
PairingFraming::decodeBody(std::span<const std::uint8_t> body) {
    const auto* text = reinterpret_cast<const char*>(body.data());
    try {
        // The parser is iterative and the tree is freed iteratively, so deep nesting inside
        // a frame costs heap, not stack.
        const json root =
            json::parse(text, text + body.size(), nullptr, /*allow_exceptions=*/false);
        if (root.is_discarded()) {
            return std::unexpected(PairingWireError::DecodingFailed{});
        }
        if (auto message = readMessage(root)) {
            return std::move(*message);
        }
    } catch (const json::exception&) {
        // Not expected with the checks above; a malformed body is still just unreadable.
    }
    return std::unexpected(PairingWireError::DecodingFailed{});
}

std::expected<std::vector<std::uint8_t>, PairingWireError>
PairingFraming::encode(const PairingMessage& message) {
    const std::string body = encodeBody(message);
    if (body.size() > maximumMessageLength) {
        return std::unexpected(
            PairingWireError::MessageTooLarge{static_cast<std::int64_t>(body.size())});
    }
    const auto length = static_cast<std::uint32_t>(body.size());
    std::vector<std::uint8_t> frame;
    frame.reserve(headerLength + body.size());
    frame.push_back(static_cast<std::uint8_t>(length >> 24));
    frame.push_back(static_cast<std::uint8_t>(length >> 16));
    frame.push_back(static_cast<std::uint8_t>(length >> 8));
    frame.push_back(static_cast<std::uint8_t>(length));
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

std::expected<std::vector<PairingMessage>, PairingWireError>
PairingFraming::decode(std::vector<std::uint8_t>& buffer) {
    std::vector<PairingMessage> messages;
    std::optional<PairingWireError> failure;
    // Frames are removed in one erase at the end, so a buffer holding many small frames is
    // not shifted once per frame.
    std::size_t consumed = 0;
    while (buffer.size() - consumed >= headerLength) {
        const std::uint8_t* frame = buffer.data() + consumed;
        const std::uint32_t length = loadBigEndian32(frame);
        if (length > maximumMessageLength) {
            failure = PairingWireError::MessageTooLarge{std::int64_t{length}};
            break;
        }
        if (buffer.size() - consumed - headerLength < length) {
            break;
        }
        auto message = decodeBody({frame + headerLength, length});
        if (!message) {
            failure = message.error();
            break;
        }
        messages.push_back(std::move(*message));
        consumed += headerLength + length;
    }
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(consumed));
    if (failure) {
        return std::unexpected(*failure);
    }
    return messages;
}

} // namespace ravnix
