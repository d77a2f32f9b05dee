#include "platform/Preferences.hpp"

namespace ravnix {

std::optional<double> PreferenceValue::asDouble() const {
    if (const auto* number = std::get_if<double>(&storage)) {
        return *number;
    }
    return std::nullopt;
}

std::optional<bool> PreferenceValue::asBool() const {
    if (const auto* flag = std::get_if<bool>(&storage)) {
        return *flag;
    }
    return std::nullopt;
}

const std::string* PreferenceValue::asString() const {
    return std::get_if<std::string>(&storage);
}
const PreferenceValue::Array* PreferenceValue::asArray() const {
    return std::get_if<Array>(&storage);
}
const PreferenceValue::Dictionary* PreferenceValue::asDictionary() const {
    return std::get_if<Dictionary>(&storage);
}

std::optional<double> Preferences::doubleValue(std::string_view key) const {
    auto stored = value(key);
    return stored ? stored->asDouble() : std::nullopt;
}

std::optional<bool> Preferences::boolValue(std::string_view key) const {
    auto stored = value(key);
    return stored ? stored->asBool() : std::nullopt;
}

std::optional<std::string> Preferences::stringValue(std::string_view key) const {
    auto stored = value(key);
    if (const auto* text = stored ? stored->asString() : nullptr) {
        return *text;
    }
    return std::nullopt;
}

std::optional<PreferenceValue::Array> Preferences::arrayValue(std::string_view key) const {
    auto stored = value(key);
    if (const auto* items = stored ? stored->asArray() : nullptr) {
        return *items;
    }
    return std::nullopt;
}

std::optional<PreferenceValue::Dictionary>
Preferences::dictionaryValue(std::string_view key) const {
    auto stored = value(key);
    if (const auto* entries = stored ? stored->asDictionary() : nullptr) {
        return *entries;
    }
    return std::nullopt;
}

} // namespace ravnix
