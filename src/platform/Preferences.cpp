#include "platform/Preferences.hpp"

#include <cerrno>
#include <cmath>

namespace ravnix {

namespace {
bool isFinite(const PreferenceValue& value) {
    if (auto number = value.asDouble()) {
        return std::isfinite(*number);
    }
    if (const auto* items = value.asArray()) {
        for (const auto& item : *items) {
            if (!isFinite(item)) {
                return false;
            }
        }
    }
    if (const auto* entries = value.asDictionary()) {
        for (const auto& [key, entry] : *entries) {
            if (!isFinite(entry)) {
                return false;
            }
        }
    }
    return true;
}
} // namespace

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

std::optional<PreferenceValue> MemoryPreferences::value(std::string_view key) const {
    std::lock_guard lock(valuesLock);
    if (auto found = values.find(key); found != values.end()) {
        return found->second;
    }
    return std::nullopt;
}

std::expected<void, PlatformError> MemoryPreferences::setValue(std::string_view key,
                                                               PreferenceValue value) {
    if (!isFinite(value)) {
        return std::unexpected(PlatformError{"setValue(" + std::string(key) + ")", EINVAL});
    }
    std::lock_guard lock(valuesLock);
    values.insert_or_assign(std::string(key), std::move(value));
    ++writes;
    if (writeError) {
        return std::unexpected(*writeError);
    }
    return {};
}

std::expected<void, PlatformError> MemoryPreferences::removeValue(std::string_view key) {
    std::lock_guard lock(valuesLock);
    if (auto found = values.find(key); found != values.end()) {
        values.erase(found);
    }
    ++writes;
    if (writeError) {
        return std::unexpected(*writeError);
    }
    return {};
}

std::optional<PreferenceValue> MemoryPreferences::domainValue(std::string_view domain,
                                                              std::string_view key) const {
    std::lock_guard lock(valuesLock);
    auto suite = domains.find(domain);
    if (suite == domains.end()) {
        return std::nullopt;
    }
    if (auto found = suite->second.find(key); found != suite->second.end()) {
        return found->second;
    }
    return std::nullopt;
}

void MemoryPreferences::setDomainValue(std::string_view domain, std::string_view key,
                                       PreferenceValue value) {
    std::lock_guard lock(valuesLock);
    auto suite = domains.find(domain);
    if (suite == domains.end()) {
        suite = domains.emplace(std::string(domain), PreferenceValue::Dictionary{}).first;
    }
    suite->second.insert_or_assign(std::string(key), std::move(value));
}

void MemoryPreferences::failWrites(std::optional<PlatformError> error) {
    std::lock_guard lock(valuesLock);
    writeError = std::move(error);
}

int MemoryPreferences::writeCount() const {
    std::lock_guard lock(valuesLock);
    return writes;
}

} // namespace ravnix
