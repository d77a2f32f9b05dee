#include "pairing/PairingMessages.hpp"

namespace ravnix {

const char* caseName(const PairingMessage& message) noexcept {
    switch (message.index()) {
    case PairingMessageCase::hello:
        return "hello";
    case PairingMessageCase::offer:
        return "offer";
    case PairingMessageCase::phoneDecision:
        return "phoneDecision";
    case PairingMessageCase::result:
        return "result";
    }
    return "?"; // valueless after a failed assignment
}

std::string describe(const PairingWireError& error) {
    if (const auto* tooLarge = error.as<PairingWireError::MessageTooLarge>()) {
        return "messageTooLarge(" + std::to_string(tooLarge->length) + ")";
    }
    return error.is<PairingWireError::Truncated>() ? "truncated" : "decodingFailed";
}

} // namespace ravnix
